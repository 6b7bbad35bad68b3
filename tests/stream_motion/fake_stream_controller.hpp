// A scripted Stream Motion controller for the driver's session tests, built
// on the byte layouts of wire_bytes.hpp (not on the driver's codec): it
// answers the capability, threshold and I/O requests, streams its status
// every period after Start, takes commands, and can lose chosen datagrams
// or misbehave as a real controller may.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "stream_motion/udp_peer.hpp"
#include "stream_motion/wire_bytes.hpp"

namespace orvane_test {

class FakeStreamController {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::uint32_t available_version = 3;
        std::uint32_t period_ms = 8;
        /// Statuses sent after Start before bit 0 rises.
        int statuses_before_ready = 3;
        bool never_ready = false;
        std::uint8_t robot_status = 0;
        std::uint32_t gpio_result = 0;
        /// Per packet type, how many of its first datagrams are lost.
        std::map<std::uint32_t, int> drop_first;
        /// Statuses still showing motion (bit 3) after the last command.
        int statuses_moving_after_last = 3;
        /// Motion (bit 3) from Start on, never ending.
        bool motion_never_ends = false;
        /// Statuses in the version-1 layout (while reporting version 3).
        bool v1_statuses = false;
    };

    struct Received {
        std::uint32_t type;
        wire::Bytes bytes;
        bool dropped;
    };

    static constexpr float joints[9] = {5.0f, -15.5f, 25.25f, 0.0f, -45.0f, 90.0f, 0.0f, 0.0f, 0.0f};

    // The threshold entry the controller reports.
    static float entry(std::uint32_t axis, std::uint32_t kind, std::size_t step, bool full) {
        return 1000.0f * static_cast<float>(kind + 1) + 10.0f * static_cast<float>(axis) + static_cast<float>(step) +
               (full ? 0.5f : 0.0f);
    }

    explicit FakeStreamController(Options options) : options_(std::move(options)) {
        thread_ = std::thread([this] { run(); });
    }
    ~FakeStreamController() {
        {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        thread_.join();
    }

    const std::string& address() const { return peer_.address(); }
    std::uint16_t port() const { return peer_.port(); }

    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    bool streaming() const {
        std::lock_guard lock(mutex_);
        return streaming_;
    }
    std::vector<std::uint32_t> statuses_sent() const {
        std::lock_guard lock(mutex_);
        return sent_numbers_;
    }

    // Packet types in the order received, lost ones included.
    std::vector<std::uint32_t> types() const {
        std::vector<std::uint32_t> all;
        for (const auto& datagram : received()) all.push_back(datagram.type);
        return all;
    }

    template <typename Condition>
    bool wait_for(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(received_); });
    }

private:
    void run() {
        auto next_tick = Clock::now();
        for (;;) {
            bool streaming;
            {
                std::lock_guard lock(mutex_);
                if (!running_) return;
                streaming = streaming_;
            }
            const auto now = Clock::now();
            auto wait = std::chrono::milliseconds(10);
            if (streaming) {
                wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::max(next_tick - now, Clock::duration::zero())));
            }
            if (auto datagram = peer_.receive(wait)) {
                handle(*datagram, next_tick);
                continue;
            }
            std::lock_guard lock(mutex_);
            if (streaming_ && Clock::now() >= next_tick) {
                send_status_locked();
                next_tick += std::chrono::milliseconds(options_.period_ms);
            }
        }
    }

    void handle(const UdpPeer::Datagram& datagram, Clock::time_point& next_tick) {
        const wire::Bytes bytes(datagram.bytes);
        const std::uint32_t type = bytes.size() >= 4 ? bytes.get_u32(0) : 0xFFFFFFFF;
        std::lock_guard lock(mutex_);
        bool& dropped = received_.emplace_back(Received{type, bytes, false}).dropped;
        if (auto lost = options_.drop_first.find(type); lost != options_.drop_first.end() && lost->second > 0) {
            --lost->second;
            dropped = true;
            changed_.notify_all();
            return;
        }
        const auto size = bytes.size();
        if (size == wire::stop_size && type == 2) {
            streaming_ = false;
        } else if (size == wire::capability_size && type == 7) {
            wire::Bytes answer(wire::capability_size);
            answer.u32(0, 7).u32(4, bytes.get_u32(4)).u32(8, 1).u32(12, options_.period_ms);
            answer.u32(20, options_.available_version);
            peer_.send_to(datagram.from, answer.span());
        } else if (size == wire::threshold_request_size && type == 3) {
            const auto axis = bytes.get_u32(8), kind = bytes.get_u32(12);
            wire::Bytes answer(wire::threshold_answer_size);
            answer.u32(0, 3).u32(4, bytes.get_u32(4)).u32(8, axis).u32(12, kind);
            answer.u32(16, 2000).u32(20, options_.period_ms);
            for (std::size_t step = 0; step < 20; ++step) {
                answer.f32(24 + 4 * step, entry(axis, kind, step, false));
                answer.f32(104 + 4 * step, entry(axis, kind, step, true));
            }
            peer_.send_to(datagram.from, answer.span());
        } else if (size == wire::gpio_config_size && type == 203) {
            wire::Bytes answer(wire::gpio_result_size);
            answer.u32(0, 203).u32(4, options_.gpio_result).u32(8, 16);
            peer_.send_to(datagram.from, answer.span());
        } else if (size == wire::start_size && (type == 200 || type == 0)) {
            streaming_ = true;
            client_ = datagram.from;
            version_ = bytes.get_u32(4);
            sequence_ = 0;
            sent_ = 0;
            moving_ = options_.motion_never_ends;
            last_received_ = false;
            after_last_ = 0;
            next_tick = Clock::now();
        } else if ((size == wire::command_size && type == 201) || (size == wire::command_v1_size && type == 1)) {
            const bool motion = size == wire::command_v1_size || bytes.get_u8(13) != 0;
            if (motion) moving_ = true;
            if (bytes.get_u8(12) != 0) last_received_ = true;
        }
        changed_.notify_all();
    }

    void send_status_locked() {
        ++sequence_;
        ++sent_;
        if (last_received_ && !options_.motion_never_ends && ++after_last_ > options_.statuses_moving_after_last) {
            moving_ = false;
        }
        const bool ended = last_received_ && !moving_;
        const bool ready = !options_.never_ready && sent_ > options_.statuses_before_ready && !ended;
        const std::uint8_t bits = static_cast<std::uint8_t>((ready ? 1 : 0) | 0b0100 | (moving_ ? 0b1000 : 0));
        if (options_.v1_statuses) {
            wire::Bytes status(wire::status_v1_size);
            status.u32(0, 0).u32(4, version_).u32(8, sequence_).u8(12, bits);
            for (int i = 0; i < 9; ++i) status.f32(60 + 4 * i, joints[i]);
            peer_.send_to(client_, status.span());
        } else {
            const auto status =
                wire::status_packet(version_, sequence_, bits, options_.robot_status, joints, version_ >= 4);
            peer_.send_to(client_, status.span());
        }
        sent_numbers_.push_back(sequence_);
        changed_.notify_all();
    }

    Options options_;
    UdpPeer peer_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = true;
    std::vector<Received> received_;
    std::vector<std::uint32_t> sent_numbers_;
    bool streaming_ = false;
    sockaddr_in client_{};
    std::uint32_t version_ = 3;
    std::uint32_t sequence_ = 0;
    int sent_ = 0;
    bool moving_ = false;
    bool last_received_ = false;
    int after_last_ = 0;
    std::thread thread_;
};

}  // namespace orvane_test
