#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tessarin {

// A broken property aborts, so libFuzzer reports it as a crash and keeps the input.
inline void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A protocol line is one line: any line break in it would split it for the reader.
inline bool isOneLine(std::string_view line) {
    return line.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace tessarin
