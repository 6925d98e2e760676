#include "app/protocol_writer.hpp"

#include <poll.h>
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
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A parent may hand over a non-blocking pipe: wait for room as a blocking write
            // would, rather than drop the rest of the line.
            if (!waitUntilWritable()) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool ProtocolWriter::waitUntilWritable() const {
    pollfd watched{fd_, POLLOUT, 0};
    for (;;) {
        const int ready = ::poll(&watched, 1, -1);
        if (ready > 0) {
            return (watched.revents & (POLLERR | POLLNVAL)) == 0;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

}  // namespace tessarin
