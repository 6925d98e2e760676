#pragma once

#include <string_view>

#include "core/async/awaitable.hpp"

namespace tessarin {

// What the platform says about the helper's access to the microphone. The platform layer
// implements the operations (on Linux: the sound server, which asks nobody for permission).
struct CapturePermission {
    enum class Status { granted, denied, undetermined, unknown };

    // Where a user turns the microphone on, and where the output device is chosen.
    static constexpr std::string_view microphoneRefused =
        "Tessarin needs the microphone. Turn one on in Settings → Sound → Input.";

    static Status microphone();
    // Asks for access when the platform has not decided yet; whether the microphone may be used.
    static Awaitable<bool> ensureMicrophone();
    // Makes the platform ask for the system-audio permission, where it has one.
    static void primeSystemAudio();

    static constexpr std::string_view statusName(Status status) {
        switch (status) {
            case Status::granted:
                return "granted";
            case Status::denied:
                return "denied";
            case Status::undetermined:
                return "undetermined";
            case Status::unknown:
                return "unknown";
        }
        return "unknown";
    }
};

}  // namespace tessarin
