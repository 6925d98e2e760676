#include "app/protocol_writer.hpp"

#include <unistd.h>
#include <cerrno>
#include <string>

namespace tessarin {

ProtocolWriter::ProtocolWriter(int fd) : fd_(fd) {}

bool ProtocolWriter::writeLine(std::string_view line) {
    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes.append(line);
    bytes.push_back('\n');

    std::lock_guard guard(lock_);
    const char* cursor = bytes.data();
    std::size_t remaining = bytes.size();
    while (remaining > 0) {
        const ssize_t written = ::write(fd_, cursor, remaining);
        if (written > 0) {
            cursor += written;
            remaining -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace tessarin
