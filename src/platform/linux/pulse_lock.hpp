#pragma once

#include <pulse/thread-mainloop.h>

namespace tessarin {

// Holds the sound-server event loop's lock for a scope: while it is held the loop's thread runs
// no callback, so streams and requests can be changed safely. The loop's own thread (inside a
// callback) already holds it and takes nothing.
class PulseLock {
  public:
    explicit PulseLock(pa_threaded_mainloop* loop)
        : loop_(pa_threaded_mainloop_in_thread(loop) ? nullptr : loop) {
        if (loop_) {
            pa_threaded_mainloop_lock(loop_);
        }
    }
    ~PulseLock() {
        if (loop_) {
            pa_threaded_mainloop_unlock(loop_);
        }
    }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

}  // namespace tessarin
