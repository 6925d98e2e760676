#pragma once

#include <optional>
#include <string_view>

namespace tessarin {

// Who spoke: `me` is the microphone (the user), `them` the system audio (the other side).
enum class Speaker { me, them };

inline constexpr std::string_view speakerName(Speaker speaker) {
    return speaker == Speaker::me ? "me" : "them";
}

inline std::optional<Speaker> speakerNamed(std::string_view name) {
    if (name == "me") {
        return Speaker::me;
    }
    if (name == "them") {
        return Speaker::them;
    }
    return std::nullopt;
}

}  // namespace tessarin
