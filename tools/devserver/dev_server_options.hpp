#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/json/json_value.hpp"

namespace tessarin {

// The devserver's command line. Fault switches given as flags are gathered into a body of the same
// form as a POST /control body, so flags and the control endpoint are read by one piece of code.
struct DevServerOptions {
    enum class Mode { serve, show, help };

    Mode mode = Mode::serve;
    std::uint16_t port = 0;
    std::string database = "tessarin-devserver.db";
    std::string meeting;  // --show
    bool json = false;    // --show as one JSON object
    JSONValue switches = JSONValue::Object{};

    // The arguments after the program name; throws std::invalid_argument saying what is wrong.
    static DevServerOptions parse(std::span<const std::string> arguments);
    static const char* usage();
};

}  // namespace tessarin
