#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/async/awaitable.hpp"

namespace tessarin {

// Reads a descriptor as lines on a thread of its own, so the executor never blocks on input, and
// hands each line to the executor in order. A line ends at "\n" (a "\r" before it is dropped);
// the last line needs no terminator. A line longer than `maxLineBytes` is not kept: its bytes are
// skipped up to the next line end and `tooLong` is called once for it, so endless input cannot grow
// memory. A descriptor in non-blocking mode is waited on like a blocking one.
//
// Every line handed over holds its share of a bound until its `hold` is let go (its request is
// answered): while `maxHeldLines` lines or `maxHeldBytes` bytes are held, reading waits. A line
// that alone exceeds the bytes is let through when nothing else is held.
class LineReader {
  public:
    struct Limits {
        std::size_t maxLineBytes = std::size_t{1} << 20;
        std::size_t maxHeldBytes = std::size_t{8} << 20;
        std::size_t maxHeldLines = 256;
    };

    struct Line {
        std::string text;
        std::shared_ptr<void> hold;
    };

    struct Handlers {
        std::function<void(Line line)> line;
        std::function<void()> tooLong;
        // Input ended: no error at the end of input, else the read error's description.
        std::function<void(std::optional<std::string> error)> end;
    };

    // Starts reading at once. The reading thread runs until the input ends; it keeps what it needs
    // alive itself, so the reader may be dropped before then.
    static void start(Executor executor, int fd, Handlers handlers, Limits limits);
    static void start(Executor executor, int fd, Handlers handlers);

  private:
    struct Budget;
    struct Shared;
    static void readLoop(std::shared_ptr<Shared> shared);
};

}  // namespace tessarin
