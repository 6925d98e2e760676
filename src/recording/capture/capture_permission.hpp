#pragma once

#include <string_view>

namespace tessarin {

// What the platform says about the helper's access to the microphone.
struct CapturePermission {
    enum class Status { granted, denied, undetermined, unknown };

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
