#pragma once

#include <memory>
#include <optional>
#include <string>

namespace tessarin {

class PulseConnection;

// The names users see for the sound server's default devices (their descriptions). A lookup
// that fails for any reason (no server, no default device) gives nothing. They block the calling
// thread for the round trip to the server (at most a couple of seconds when it hangs).
struct AudioDevices {
    static std::optional<std::string> defaultInputName(
        std::shared_ptr<PulseConnection> connection = nullptr);
    static std::optional<std::string> defaultOutputName(
        std::shared_ptr<PulseConnection> connection = nullptr);
};

}  // namespace tessarin
