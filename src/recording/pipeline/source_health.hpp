#pragma once

#include <string_view>

namespace tessarin {

// Whether a capture source delivers sound: working, delivering only silence for a while, failed.
enum class SourceHealth { ok, silent, error };

inline constexpr std::string_view sourceHealthName(SourceHealth health) {
    switch (health) {
        case SourceHealth::ok:
            return "ok";
        case SourceHealth::silent:
            return "silent";
        case SourceHealth::error:
            return "error";
    }
    return "error";
}

}  // namespace tessarin
