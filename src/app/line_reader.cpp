#include "app/line_reader.hpp"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <boost/asio/post.hpp>

namespace tessarin {

struct LineReader::Budget {
    explicit Budget(const Limits& limits) : limits(limits) {}

    // Waits until a line of `bytes` fits beside what is held, then holds it.
    void acquire(std::size_t bytes) {
        std::unique_lock guard(lock);
        released.wait(guard, [&] {
            return lines == 0 ||
                   (lines < limits.maxHeldLines && heldBytes + bytes <= limits.maxHeldBytes);
        });
        ++lines;
        heldBytes += bytes;
    }

    void release(std::size_t bytes) {
        {
            const std::lock_guard guard(lock);
            --lines;
            heldBytes -= bytes;
        }
        released.notify_one();
    }

    const Limits limits;
    std::mutex lock;
    std::condition_variable released;
    std::size_t lines = 0;
    std::size_t heldBytes = 0;
};

struct LineReader::Shared {
    Shared(Executor executor, int fd, Handlers handlers, const Limits& limits)
        : executor(std::move(executor)),
          fd(fd),
          handlers(std::move(handlers)),
          budget(std::make_shared<Budget>(limits)) {}

    void deliver(std::string text, const std::shared_ptr<Shared>& self) {
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        const std::size_t bytes = text.size();
        budget->acquire(bytes);
        Line line{std::move(text), std::shared_ptr<void>(nullptr, [budget = budget, bytes](void*) {
                      budget->release(bytes);
                  })};
        boost::asio::post(executor, [self, line = std::move(line)]() mutable {
            self->handlers.line(std::move(line));
        });
    }

    // Reads what is there, waiting for input on a non-blocking descriptor too. Returns the count
    // (0 at the end of input) or -1 with errno set.
    ssize_t read(char* buffer, std::size_t size) const {
        for (;;) {
            const ssize_t count = ::read(fd, buffer, size);
            if (count >= 0) {
                return count;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return -1;
            }
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
                return -1;
            }
        }
    }

    Executor executor;
    int fd;
    Handlers handlers;
    std::shared_ptr<Budget> budget;
};

void LineReader::start(Executor executor, int fd, Handlers handlers, Limits limits) {
    auto shared = std::make_shared<Shared>(std::move(executor), fd, std::move(handlers), limits);
    std::thread(readLoop, std::move(shared)).detach();
}

void LineReader::start(Executor executor, int fd, Handlers handlers) {
    start(std::move(executor), fd, std::move(handlers), Limits{});
}

void LineReader::readLoop(std::shared_ptr<Shared> shared) {
    const std::size_t maxLineBytes = shared->budget->limits.maxLineBytes;
    auto reportTooLong = [&] {
        boost::asio::post(shared->executor, [shared] { shared->handlers.tooLong(); });
    };

    std::string line;
    bool skipping = false;  // inside a line that was already too long
    char buffer[64 * 1024];
    std::optional<std::string> error;
    for (;;) {
        const ssize_t count = shared->read(buffer, sizeof buffer);
        if (count < 0) {
            error = std::strerror(errno);
            break;
        }
        if (count == 0) {
            break;
        }
        std::string_view chunk(buffer, static_cast<std::size_t>(count));
        while (!chunk.empty()) {
            const std::size_t newline = chunk.find('\n');
            const std::string_view piece = chunk.substr(0, newline);
            if (!skipping) {
                if (line.size() + piece.size() > maxLineBytes) {
                    skipping = true;
                    line.clear();
                    line.shrink_to_fit();
                    reportTooLong();
                } else {
                    line.append(piece);
                }
            }
            if (newline == std::string_view::npos) {
                break;
            }
            if (!skipping) {
                shared->deliver(std::move(line), shared);
            }
            line = std::string();
            skipping = false;
            chunk.remove_prefix(newline + 1);
        }
    }
    if (!skipping && !line.empty()) {
        shared->deliver(std::move(line), shared);
    }
    boost::asio::post(shared->executor, [shared, error] { shared->handlers.end(error); });
}

}  // namespace tessarin
