#pragma once

#include <mutex>
#include <string_view>

namespace tessarin {

// The one writer of protocol lines. Each line goes out whole under one lock, so lines written from
// different threads never interleave. A closed or broken output abandons the line and nothing
// else: the helper keeps serving (SIGPIPE is ignored by the process).
class ProtocolWriter {
  public:
    explicit ProtocolWriter(int fd);

    // Writes the line and a line feed. False when the line could not be written completely.
    bool writeLine(std::string_view line);

  private:
    bool waitUntilWritable() const;

    int fd_;
    std::mutex lock_;
};

}  // namespace tessarin
