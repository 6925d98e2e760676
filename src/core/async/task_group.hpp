#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/async/awaitable.hpp"
#include "core/async/task.hpp"

namespace tessarin {

// The background tasks of one owner: spawn into it, cancel all, join all. An owner holds one group
// instead of task members, and its tasks hold the owner weakly. Destroying the group cancels every
// task still running (each then ends at its next wait), so an owner that goes away leaves nothing
// acting on its behalf.
//
// Confined to its executor.
class TaskGroup {
  public:
    explicit TaskGroup(Executor executor) : executor_(std::move(executor)) {}
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;
    ~TaskGroup() { cancelAll(); }

    // Starts `body` (a callable returning Awaitable<void>) as a task of this group; `what` names
    // the work for the diagnostics if it fails.
    template <class Body>
    Task<> spawn(std::string what, Body&& body) {
        forgetFinished();
        Task<> task = Task<>::spawn(executor_, std::move(what), std::forward<Body>(body));
        tasks_.push_back(task);
        return task;
    }

    void cancelAll() {
        std::vector<Task<>> running = std::move(tasks_);
        tasks_.clear();
        for (const Task<>& task : running) {
            task.cancel();
        }
        // Kept until they end, so joinAll still waits for them.
        tasks_ = std::move(running);
        forgetFinished();
    }

    // Waits until every task of the group has ended, those spawned meanwhile included. A task of
    // the group must not call it: it would wait for itself.
    Awaitable<void> joinAll() {
        for (;;) {
            forgetFinished();
            if (tasks_.empty()) {
                co_return;
            }
            const Task<> next = tasks_.front();
            co_await next.join();
        }
    }

    std::size_t running() const {
        std::size_t count = 0;
        for (const Task<>& task : tasks_) {
            count += task.done() ? 0 : 1;
        }
        return count;
    }

    const Executor& executor() const { return executor_; }

  private:
    void forgetFinished() {
        std::erase_if(tasks_, [](const Task<>& task) { return task.done(); });
    }

    Executor executor_;
    std::vector<Task<>> tasks_;
};

}  // namespace tessarin
