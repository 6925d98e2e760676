#include "platform/linux/device_watcher.hpp"

#include <boost/asio/post.hpp>

#include "core/log/diagnostics.hpp"
#include "platform/linux/pulse_queries.hpp"

namespace tessarin {

// Hears the connection on the sound server's loop thread and hands the news to the executor.
class DeviceWatcher::Relay final : public PulseConnection::Listener {
  public:
    Relay(Executor executor, std::weak_ptr<DeviceWatcher> watcher)
        : executor_(std::move(executor)), watcher_(std::move(watcher)) {}

    void connectionLost() override {
        onExecutor([](DeviceWatcher& watcher) { watcher.lost_->resume(); });
    }

    void defaultsChanged(const PulseConnection::Defaults& before,
                         const PulseConnection::Defaults& now) override {
        const bool input = before.source != now.source;
        const bool output = before.sink != now.sink;
        onExecutor([input, output](DeviceWatcher& watcher) {
            watcher.tasks_.spawn("reporting a device change",
                                 [weak = watcher.weak_from_this(), input, output] {
                                     return report(weak, input, output);
                                 });
        });
    }

  private:
    template <class Work>
    void onExecutor(Work work) {
        boost::asio::post(executor_, [watcher = watcher_, work = std::move(work)] {
            if (auto self = watcher.lock()) {
                work(*self);
            }
        });
    }

    Executor executor_;
    std::weak_ptr<DeviceWatcher> watcher_;
};

std::shared_ptr<DeviceWatcher> DeviceWatcher::start(Executor executor, std::shared_ptr<Clock> clock,
                                                    OnChange onChange,
                                                    std::shared_ptr<PulseConnection> connection) {
    auto watcher = create(executor, std::move(clock), std::move(onChange),
                          connection ? std::move(connection) : PulseConnection::shared());
    watcher->relay_ = std::make_unique<Relay>(executor, watcher);
    {
        const PulseLock lock(watcher->connection_->loop());
        watcher->connection_->addListener(watcher->relay_.get());
    }
    watcher->tasks_.spawn("keeping the sound server connected",
                          [weak = std::weak_ptr(watcher)] { return keepConnected(weak); });
    return watcher;
}

DeviceWatcher::DeviceWatcher(Token, Executor executor, std::shared_ptr<Clock> clock,
                             OnChange onChange, std::shared_ptr<PulseConnection> connection)
    : executor_(executor),
      clock_(std::move(clock)),
      onChange_(std::move(onChange)),
      connection_(std::move(connection)),
      lost_(std::make_shared<OneShot<>>(executor)),
      tasks_(executor) {}

DeviceWatcher::~DeviceWatcher() {
    if (relay_) {
        const PulseLock lock(connection_->loop());
        connection_->removeListener(relay_.get());
    }
}

Awaitable<void> DeviceWatcher::keepConnected(std::weak_ptr<DeviceWatcher> weak) {
    Clock::Duration pause = firstRetry;
    // Said once per loss: a machine without a sound server is not worth a line a second.
    bool lostAfterConnecting = false;
    for (;;) {
        std::shared_ptr<PulseConnection> connection;
        std::shared_ptr<Clock> clock;
        std::shared_ptr<OneShot<>> lost;
        if (auto self = weak.lock()) {
            // Made before asking, so that a loss right after the answer is not missed.
            self->lost_ = std::make_shared<OneShot<>>(self->executor_);
            connection = self->connection_;
            clock = self->clock_;
            lost = self->lost_;
        } else {
            co_return;
        }
        const PulseConnection::Request<bool> connect =
            [](pa_context*, PulseConnection::Done<bool> done) { done(true); };
        const auto connected = co_await connection->ask<bool>(connect);
        if (connected.value) {
            if (std::exchange(lostAfterConnecting, false)) {
                Diagnostics::log("the sound server is back");
            }
            pause = firstRetry;
            co_await lost->wait();
            Diagnostics::log("lost the sound server; reconnecting");
            lostAfterConnecting = true;
            continue;
        }
        co_await clock->sleep(pause);
        pause = std::min(pause * 2, longestRetry);
    }
}

Awaitable<void> DeviceWatcher::report(std::weak_ptr<DeviceWatcher> weak, bool input, bool output) {
    for (const bool isInput : {true, false}) {
        if (!(isInput ? input : output)) {
            continue;
        }
        std::shared_ptr<PulseConnection> connection;
        if (auto self = weak.lock()) {
            connection = self->connection_;
        } else {
            co_return;
        }
        const PulseConnection::Request<std::string> askName =
            [isInput](pa_context* context, PulseConnection::Done<std::string> done) {
                PulseQueries::defaultDeviceName(context, isInput, std::move(done));
            };
        const auto name = co_await connection->ask<std::string>(askName);
        const auto self = weak.lock();
        if (!self) {
            co_return;
        }
        if (isInput) {
            self->onChange_(name.value, std::nullopt);
        } else {
            self->onChange_(std::nullopt, name.value);
        }
    }
}

}  // namespace tessarin
