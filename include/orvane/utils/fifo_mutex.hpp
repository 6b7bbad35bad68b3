#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace orvane::utils {

/// A mutex that grants the lock in the order it was asked for.
///
/// A plain mutex lets a thread that unlocks and locks again at once keep it
/// for ever: a program polling an input in a tight loop would starve the
/// driver's periodic joint reads, and those reads would delay the program's
/// commands in turn. With tickets each waiter gets the next turn after the
/// ones queued before it. Usable with std::lock_guard and std::unique_lock.
class FifoMutex {
public:
    FifoMutex() = default;
    FifoMutex(const FifoMutex&) = delete;
    FifoMutex& operator=(const FifoMutex&) = delete;

    void lock() {
        std::unique_lock lock(turns_mutex);
        const std::uint64_t ticket = next_ticket++;
        turn_changed.wait(lock, [&] { return serving == ticket; });
    }

    void unlock() {
        {
            std::lock_guard lock(turns_mutex);
            ++serving;
        }
        turn_changed.notify_all();
    }

private:
    // Guards the two counters; held only to take a ticket or pass the turn.
    std::mutex turns_mutex;
    std::condition_variable turn_changed;
    std::uint64_t next_ticket{0};
    std::uint64_t serving{0};
};

}  // namespace orvane::utils
