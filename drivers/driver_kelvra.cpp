// Mirroring the commanded joint position to the Kelvra visual tool.
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "orvane/drivers/driver.hpp"
#include "orvane/log/log.hpp"
#include "orvane/log/orvane_error.hpp"

namespace orvane::drivers {

namespace {

const std::string tag = "driver";

// With a sync rate of 0 nothing is streamed; the task looks again this often
// whether the rate was changed or a stop was requested.
constexpr std::chrono::milliseconds idle_check{100};

}  // namespace

// What a registered message handler reaches the driver through. The client
// may outlive the driver (it is a shared, user-visible object), so the
// handler holds this link rather than the driver, and the driver cuts it,
// waiting for a call in progress, before it goes away or drops the client.
struct Driver::KelvraLink {
    explicit KelvraLink(Driver* driver) : driver(driver) {}

    void handle(const nlohmann::json& message) {
        std::lock_guard lock(mutex);
        if (driver != nullptr) driver->handle_kelvra_message(message);
    }

    void cut() {
        std::lock_guard lock(mutex);
        driver = nullptr;
    }

    std::mutex mutex;
    Driver* driver;
};

void Driver::handle_kelvra_message(const nlohmann::json& message) {
    // value() raises the JSON library's type errors for a message that is not
    // an object or a "key" that is not a string; the client reports them.
    const std::string key = message.value("key", std::string());
    if (key != "get-joint-position") return;
    if (message.contains("robot") && message.value("robot", std::string()) != robot->name) return;
    const std::vector<double> position = get_current_joint_position();
    if (kelvra) kelvra->run_action(orvane::Kelvra::Events::set_joint_position(position, robot_argument));
}

bool Driver::kelvra_reconnect() {
    if (!sync_with_kelvra) return true;
    stop_kelvra_sync_thread();
    // The old client's handler must not answer for this driver any more, and
    // must not read `kelvra` while it is replaced below.
    detach_kelvra_handler();
    try {
        kelvra = std::make_shared<orvane::Kelvra>(false, false, 5.0);
        kelvra->reconnect(connect_timeout);
        auto link = std::make_shared<KelvraLink>(this);
        kelvra_link = link;
        kelvra->message_handlers.push_back([link](const nlohmann::json& message) { link->handle(message); });
        kelvra->run_action(orvane::Kelvra::Action("register-robot", nlohmann::json{{"name", robot->name}}));
    } catch (const OrvaneError& error) {
        log::log_warn(tag, std::string("Could not connect to Kelvra: ") + error.what());
        return false;
    } catch (const orvane::KelvraError& error) {
        log::log_warn(tag, std::string("Could not connect to Kelvra: ") + error.what());
        return false;
    }
    // Raised here, before the thread exists, never inside the task: a stop
    // request that comes right after the start cannot be overwritten.
    kelvra_sync_running.store(true);
    kelvra_sync_thread = std::thread(&Driver::kelvra_sync_task, this);
    return true;
}

bool Driver::kelvra_disconnect() {
    stop_kelvra_sync_thread();
    detach_kelvra_handler();
    if (kelvra) {
        kelvra->run_action(orvane::Kelvra::Action("unregister-robot", nlohmann::json{{"name", robot->name}}));
        kelvra.reset();
    }
    return true;
}

void Driver::kelvra_sync_task() {
    bool failing = false;
    while (kelvra_sync_running.load()) {
        const std::uint64_t rate = kelvra_sync_rate;
        if (rate > 0 && kelvra) {
            const std::optional<orvane::State> state = get_desired_state();
            if (state) {
                try {
                    kelvra->run_action(orvane::Kelvra::Events::set_joint_position(state->position, robot_argument));
                    failing = false;
                } catch (const std::exception& error) {
                    // Once per run of failures: this repeats 30 times a second.
                    if (!failing) log::log_error(tag, std::string("Kelvra synchronisation failed: ") + error.what());
                    failing = true;
                }
            }
        }
        std::unique_lock lock(kelvra_sync_mutex);
        const auto stop_requested = [this] { return !kelvra_sync_running.load(); };
        if (rate == 0) {
            kelvra_sync_wakeup.wait_for(lock, idle_check, stop_requested);
        } else {
            const auto pause = std::chrono::milliseconds(static_cast<std::int64_t>(1000.0 / static_cast<double>(rate)));
            if (pause >= std::chrono::milliseconds(1)) kelvra_sync_wakeup.wait_for(lock, pause, stop_requested);
        }
    }
}

void Driver::stop_kelvra_sync_thread() {
    if (!kelvra_sync_thread.joinable()) return;
    {
        // Under the task's mutex, so the wake-up cannot fall between its
        // check of the flag and its wait.
        std::lock_guard lock(kelvra_sync_mutex);
        kelvra_sync_running.store(false);
    }
    kelvra_sync_wakeup.notify_all();
    kelvra_sync_thread.join();
}

void Driver::detach_kelvra_handler() {
    if (!kelvra_link) return;
    kelvra_link->cut();
    kelvra_link.reset();
}

void Driver::stop_kelvra_mirroring() noexcept {
    stop_kelvra_sync_thread();
    detach_kelvra_handler();
}

}  // namespace orvane::drivers
