#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace orvane::utils {

// A first-in first-out queue of tasks handled one at a time by a single
// worker thread, so that producers never wait for the handler.
//
// `Handler` is called as `handler(task)` with an lvalue `Task` on the worker
// thread. An exception thrown by the handler is swallowed; the worker goes on
// with the next task.
//
// Destruction (or `stop`) first lets the worker handle what is queued, for at
// most `drain_limit`, and then stops it. A handler stuck past that limit (a
// console that no longer reads) cannot hang the caller: the worker is then
// detached and the tasks still queued are dropped. The queue's own state is
// shared with the worker, so a detached worker never touches freed memory of
// the queue; the handler object must outlive a handler call that is stuck.
template <typename Task, typename Handler>
class TaskQueue {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds default_drain_limit{2000};
    // How long a worker that is inside the handler gets to return once the
    // drain limit has passed, before it is detached.
    static constexpr std::chrono::milliseconds stop_grace{100};

    explicit TaskQueue(Handler& handler, Clock::duration drain_limit = default_drain_limit)
        : handler(handler), shared(std::make_shared<Shared>()), drain_limit(drain_limit) {
        worker = std::thread(&TaskQueue::run, std::ref(handler), shared);
    }

    ~TaskQueue() { stop(drain_limit); }

    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;
    TaskQueue(TaskQueue&&) = delete;
    TaskQueue& operator=(TaskQueue&&) = delete;

    // Appends a task. Returns false, leaving `task` untouched, once the queue
    // has been stopped.
    bool push(Task&& task) {
        {
            std::lock_guard lock(shared->tasks_mutex);
            if (!shared->running) return false;
            shared->tasks.push_back(std::move(task));
        }
        shared->tasks_ready.notify_one();
        return true;
    }

    bool push(const Task& task) {
        Task copy(task);
        return push(std::move(copy));
    }

    // Waits until every task pushed so far has been handled. Returns false
    // when `timeout` passed first or the queue was stopped with tasks left.
    bool wait_until_idle(Clock::duration timeout) {
        std::unique_lock lock(shared->tasks_mutex);
        shared->tasks_idle.wait_until(lock, Clock::now() + timeout,
                                      [this] { return shared->idle() || shared->finished; });
        return shared->idle();
    }

    bool is_running() const { return shared->running; }

    // Drains for at most `limit`, then stops the worker. Returns true when
    // every task was handled and the worker was joined. Later calls only
    // report whether nothing was left.
    bool stop(Clock::duration limit) {
        std::lock_guard control(stop_mutex);
        const auto deadline = Clock::now() + limit;
        std::unique_lock lock(shared->tasks_mutex);
        if (!worker.joinable()) return shared->idle();

        // Called from inside the handler: the worker cannot be waited for.
        const bool on_worker = worker.get_id() == std::this_thread::get_id();
        bool drained = false;
        if (!on_worker) {
            drained = shared->tasks_idle.wait_until(
                lock, deadline, [this] { return shared->idle() || shared->finished; });
        }
        // Under the same lock as the drain check, so no task slips in between;
        // a task pushed from now on is refused.
        shared->running = false;
        shared->tasks_ready.notify_all();

        bool finished = shared->finished;
        if (!on_worker && !finished) {
            // A drained worker is not inside the handler and leaves at once;
            // one still handling gets a short grace before it is given up.
            finished = drained ? true
                               : shared->tasks_idle.wait_for(lock, stop_grace,
                                                             [this] { return shared->finished; });
        }
        // Tasks left over stay unhandled and go with the shared state.
        const bool all_handled = shared->idle();
        lock.unlock();

        if (finished && !on_worker)
            worker.join();
        else
            worker.detach();
        return all_handled && finished;
    }

private:
    struct Shared {
        std::atomic<bool> running{true};
        std::deque<Task> tasks;
        std::mutex tasks_mutex;
        std::condition_variable tasks_ready;  // a task was pushed, or stop
        std::condition_variable tasks_idle;   // queue emptied, or the worker left
        bool busy = false;                    // the worker is inside the handler
        bool finished = false;                // the worker has left its loop

        bool idle() const { return tasks.empty() && !busy; }
    };

    static void run(Handler& handler, std::shared_ptr<Shared> shared) {
        for (;;) {
            std::optional<Task> task;
            {
                std::unique_lock lock(shared->tasks_mutex);
                shared->tasks_ready.wait(lock, [&] { return !shared->tasks.empty() || !shared->running; });
                if (!shared->running) break;
                task.emplace(std::move(shared->tasks.front()));
                shared->tasks.pop_front();
                shared->busy = true;
            }
            try {
                handler(*task);
            } catch (...) {
                // A failing handler must not take the worker down with it.
            }
            task.reset();
            bool now_idle;
            {
                std::lock_guard lock(shared->tasks_mutex);
                shared->busy = false;
                now_idle = shared->tasks.empty();
            }
            if (now_idle) shared->tasks_idle.notify_all();
        }
        {
            std::lock_guard lock(shared->tasks_mutex);
            shared->busy = false;
            shared->finished = true;
        }
        shared->tasks_idle.notify_all();
    }

    Handler& handler;
    std::shared_ptr<Shared> shared;
    std::thread worker;
    Clock::duration drain_limit;
    std::mutex stop_mutex;
};

}  // namespace orvane::utils
