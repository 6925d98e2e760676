#pragma once

#include "core/async/task.hpp"

namespace tessarin {

// Cancels a task and lets go of its handle, so that it is cancelled at most once. A second
// cancellation while the first is under way (the task's end already queued) is not harmless when
// it comes from outside the executor's run loop: Asio's co_spawn then posts the emission with a
// pointer into the task's state, which the task's end frees first.
template <class T>
void stopTask(Task<T>& task) {
    task.cancel();
    task = Task<T>{};
}

}  // namespace tessarin
