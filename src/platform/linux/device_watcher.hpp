#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/async/awaitable.hpp"
#include "core/async/clock.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"
#include "core/async/task_group.hpp"

namespace tessarin {

class PulseConnection;

// Reports changes of the sound server's default devices for as long as it lives: a new default
// input calls `onChange` with its name (or nothing when it has none) and no output name, a new
// default output the other way round. It also keeps the process connected to the sound server:
// when the server goes away it reconnects with a growing pause (half a second up to 30 s), and
// captures that lost their stream come back with it.
//
// Confined to its executor; `onChange` runs there.
class DeviceWatcher : public SharedObject<DeviceWatcher> {
  public:
    using OnChange =
        std::function<void(std::optional<std::string> input, std::optional<std::string> output)>;

    static constexpr Clock::Duration firstRetry = std::chrono::milliseconds(500);
    static constexpr Clock::Duration longestRetry = std::chrono::seconds(30);

    // No connection means the process's shared one.
    static std::shared_ptr<DeviceWatcher> start(
        Executor executor, std::shared_ptr<Clock> clock, OnChange onChange,
        std::shared_ptr<PulseConnection> connection = nullptr);

    DeviceWatcher(Token, Executor executor, std::shared_ptr<Clock> clock, OnChange onChange,
                  std::shared_ptr<PulseConnection> connection);
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

  private:
    class Relay;

    static Awaitable<void> keepConnected(std::weak_ptr<DeviceWatcher> weak);
    static Awaitable<void> report(std::weak_ptr<DeviceWatcher> weak, bool input, bool output);

    Executor executor_;
    std::shared_ptr<Clock> clock_;
    OnChange onChange_;
    std::shared_ptr<PulseConnection> connection_;
    std::unique_ptr<Relay> relay_;
    // Resumed when the connection is lost; a new one for each connection.
    std::shared_ptr<OneShot<>> lost_;
    TaskGroup tasks_;
};

}  // namespace tessarin
