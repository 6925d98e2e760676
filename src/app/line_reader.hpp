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
// memory. Reading pauses while `maxQueuedLines` lines wait for the executor.
class LineReader {
  public:
    struct Handlers {
        std::function<void(std::string line)> line;
        std::function<void()> tooLong;
        // Input ended: no error at the end of input, else the read error's description.
        std::function<void(std::optional<std::string> error)> end;
    };

    static constexpr std::size_t defaultMaxLineBytes = 1 << 20;
    static constexpr std::size_t maxQueuedLines = 256;

    // Starts reading at once. The reading thread runs until the input ends; it keeps what it needs
    // alive itself, so the reader may be dropped before then.
    static void start(Executor executor, int fd, Handlers handlers,
                      std::size_t maxLineBytes = defaultMaxLineBytes);

  private:
    struct Shared;
    static void readLoop(std::shared_ptr<Shared> shared);
};

}  // namespace tessarin
