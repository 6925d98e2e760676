#pragma once

#include "core/async/task.hpp"

namespace tessarin {

// Cancels a task and lets go of its handle: the owner is done with it either way.
template <class T>
void stopTask(Task<T>& task) {
    task.cancel();
    task = Task<T>{};
}

}  // namespace tessarin
