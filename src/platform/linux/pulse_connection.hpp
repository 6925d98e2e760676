#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <pulse/context.h>
#include <pulse/thread-mainloop.h>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "core/async/awaitable.hpp"
#include "core/async/one_shot.hpp"
#include "platform/linux/pulse_lock.hpp"

namespace tessarin {

// The process's one connection to the sound server (PulseAudio, or PipeWire's pulse server): an
// event loop on a thread of its own and a context on it, shared by every capture, the device
// watcher and the queries. A context that fails is replaced by a fresh one on the next request,
// so the helper carries on after the sound server restarts.
//
// Everything marked "under the lock" must run with a PulseLock held (or inside a callback on the
// loop's thread, which holds it); `wait` and `ask` take it themselves.
class PulseConnection {
  public:
    // The server's default devices, by name (empty when it has none).
    struct Defaults {
        std::string source;
        std::string sink;
        bool operator==(const Defaults&) const = default;
    };

    // Hears about the connection, on the loop's thread with the lock held. Implementations hand
    // the news to their executor; they must not request a new context from inside.
    class Listener {
      public:
        virtual void connectionReady() {}
        virtual void connectionLost() {}
        virtual void defaultsChanged(const Defaults& /*before*/, const Defaults& /*now*/) {}

      protected:
        ~Listener() = default;
    };

    // The end of a request, on the loop's thread: its value, or nothing when it failed.
    template <class T>
    using Done = std::function<void(std::optional<T> value)>;
    // Starts a request on a ready context (under the lock); it must call `done` exactly once.
    template <class T>
    using Request = std::function<void(pa_context* context, Done<T> done)>;
    template <class T>
    struct Result {
        std::optional<T> value;
        int error = 0;  // the server's error code when there is no value
    };

    // The process-wide connection to the server the environment names (PULSE_SERVER, or the
    // user's default), made on first use and kept while anyone holds it.
    static std::shared_ptr<PulseConnection> shared();

    // A connection to `server` (a libpulse server string; nothing for the default).
    explicit PulseConnection(std::optional<std::string> server = std::nullopt);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }

    // Under the lock: the context when it is ready, else nullptr.
    pa_context* readyContext() const;
    // Under the lock, never from inside a context callback: calls `then` with the ready context,
    // connecting first if needed; with nullptr and the error code when that fails.
    void whenReady(std::function<void(pa_context* context, int error)> then);

    // Under the lock. A listener must be removed before it is destroyed.
    void addListener(Listener* listener);
    void removeListener(Listener* listener);

    // Runs `request` once connected, blocking the calling thread (never the loop's) for at most
    // `limit`. A time-out counts as a failure with PA_ERR_TIMEOUT.
    template <class T>
    Result<T> wait(Request<T> request, std::chrono::milliseconds limit) {
        struct Outcome {
            std::mutex mutex;
            std::condition_variable ended;
            std::optional<Result<T>> result;
        };
        auto outcome = std::make_shared<Outcome>();
        begin<T>(std::move(request), [outcome](Result<T> result) {
            {
                const std::lock_guard guard(outcome->mutex);
                outcome->result = std::move(result);
            }
            outcome->ended.notify_all();
        });
        std::unique_lock guard(outcome->mutex);
        if (!outcome->ended.wait_for(guard, limit, [&] { return outcome->result.has_value(); })) {
            return {std::nullopt, timeoutError()};
        }
        return std::move(*outcome->result);
    }

    // Runs `request` once connected and resumes the calling task on its executor with the result.
    template <class T>
    Awaitable<Result<T>> ask(Request<T> request) {
        const auto executor = co_await boost::asio::this_coro::executor;
        auto answer = std::make_shared<OneShot<Result<T>>>(executor);
        begin<T>(std::move(request), [answer, executor](Result<T> result) {
            boost::asio::post(executor, [answer, result = std::move(result)]() mutable {
                answer->resume(std::move(result));
            });
        });
        Result<T> result = co_await answer->wait();
        co_return result;
    }

  private:
    template <class T>
    void begin(Request<T> request, std::function<void(Result<T>)> finish) {
        const PulseLock lock(loop_);
        whenReady([request = std::move(request), finish](pa_context* context, int error) {
            if (!context) {
                finish({std::nullopt, error});
                return;
            }
            request(context, [context, finish](std::optional<T> value) {
                const int error = value ? 0 : pa_context_errno(context);
                finish({std::move(value), error});
            });
        });
    }

    static int timeoutError();
    static void contextStateChanged(pa_context* context, void* self);
    static void serverEvent(pa_context* context, pa_subscription_event_type_t type,
                            std::uint32_t index, void* self);
    void connect();
    void becameReady();
    void failed(int error);
    void refreshDefaults();
    template <class Event>
    void notify(Event event);

    std::optional<std::string> server_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool wasReady_ = false;
    std::vector<std::function<void(pa_context*, int)>> waiting_;
    std::vector<Listener*> listeners_;
    std::optional<Defaults> defaults_;  // the last ones seen, kept across reconnections
};

}  // namespace tessarin
