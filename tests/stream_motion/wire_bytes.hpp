// Stream Motion datagrams built and read byte by byte, offset by offset, as
// the controller's packet tables give them: big-endian scalars, little-endian
// values inside the I/O arrays. Kept apart from the driver's codec, so that a
// mistake in one is not repeated by the other.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvane_test::wire {

class Bytes {
public:
    explicit Bytes(std::size_t size) : data_(size, 0) {}
    explicit Bytes(std::span<const std::uint8_t> bytes) : data_(bytes.begin(), bytes.end()) {}

    Bytes& u8(std::size_t at, std::uint8_t value) {
        data_.at(at) = value;
        return *this;
    }
    Bytes& u16(std::size_t at, std::uint16_t value) {
        data_.at(at) = static_cast<std::uint8_t>(value >> 8);
        data_.at(at + 1) = static_cast<std::uint8_t>(value & 0xFF);
        return *this;
    }
    Bytes& u32(std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) data_.at(at + i) = static_cast<std::uint8_t>((value >> (8 * (3 - i))) & 0xFF);
        return *this;
    }
    Bytes& f32(std::size_t at, float value) { return u32(at, std::bit_cast<std::uint32_t>(value)); }
    Bytes& f64(std::size_t at, double value) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        u32(at, static_cast<std::uint32_t>(bits >> 32));
        return u32(at + 4, static_cast<std::uint32_t>(bits & 0xFFFFFFFFU));
    }
    // Little-endian, as inside the I/O arrays.
    Bytes& le16(std::size_t at, std::uint16_t value) {
        data_.at(at) = static_cast<std::uint8_t>(value & 0xFF);
        data_.at(at + 1) = static_cast<std::uint8_t>(value >> 8);
        return *this;
    }
    Bytes& le_f32(std::size_t at, float value) {
        const auto bits = std::bit_cast<std::uint32_t>(value);
        for (int i = 0; i < 4; ++i) data_.at(at + i) = static_cast<std::uint8_t>((bits >> (8 * i)) & 0xFF);
        return *this;
    }

    std::uint8_t get_u8(std::size_t at) const { return data_.at(at); }
    std::uint16_t get_u16(std::size_t at) const {
        return static_cast<std::uint16_t>(data_.at(at) * 256 + data_.at(at + 1));
    }
    std::uint32_t get_u32(std::size_t at) const {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value * 256 + data_.at(at + i);
        return value;
    }
    float get_f32(std::size_t at) const { return std::bit_cast<float>(get_u32(at)); }
    double get_f64(std::size_t at) const {
        const std::uint64_t high = get_u32(at);
        const std::uint64_t low = get_u32(at + 4);
        return std::bit_cast<double>((high << 32) | low);
    }

    std::size_t size() const { return data_.size(); }
    const std::vector<std::uint8_t>& data() const { return data_; }
    std::span<const std::uint8_t> span() const { return data_; }
    std::vector<std::uint8_t>& mutable_data() { return data_; }

private:
    std::vector<std::uint8_t> data_;
};

// Sizes of the packets, from the controller's tables.
inline constexpr std::size_t start_size = 8;
inline constexpr std::size_t stop_size = 8;
inline constexpr std::size_t threshold_request_size = 16;
inline constexpr std::size_t threshold_answer_size = 184;
inline constexpr std::size_t capability_size = 28;
inline constexpr std::size_t gpio_config_size = 520;
inline constexpr std::size_t gpio_result_size = 12;
inline constexpr std::size_t force_config_size = 16;
inline constexpr std::size_t command_size = 344;
inline constexpr std::size_t status_size = 388;
inline constexpr std::size_t status_v4_size = 416;
inline constexpr std::size_t command_v1_size = 64;
inline constexpr std::size_t status_v1_size = 132;

// A version-3 status (type 202) or, with force data, a version-4 one (type
// 204): joint angles in degrees, the rest zero unless set afterwards.
inline Bytes status_packet(std::uint32_t version, std::uint32_t sequence, std::uint8_t status_bits,
                           std::uint8_t robot_status, const float (&joints)[9], bool with_force = false) {
    Bytes bytes(with_force ? status_v4_size : status_size);
    bytes.u32(0, with_force ? 204 : 202).u32(4, version).u32(8, sequence).u8(12, status_bits).u8(13, robot_status);
    bytes.f32(128, 1.0f);
    for (int i = 0; i < 9; ++i) bytes.f32(56 + 4 * i, joints[i]);
    return bytes;
}

}  // namespace orvane_test::wire
