#include "app/line_reader.hpp"

#include <unistd.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <boost/asio/post.hpp>

namespace tessarin {

struct LineReader::Shared {
    Executor executor;
    int fd;
    Handlers handlers;
    std::size_t maxLineBytes;

    std::mutex lock;
    std::condition_variable roomForMore;
    std::size_t queued = 0;

    // Hands work to the executor, first waiting while too many lines are still queued there.
    void post(std::function<void()> work, const std::shared_ptr<Shared>& self) {
        {
            std::unique_lock guard(lock);
            roomForMore.wait(guard, [&] { return queued < maxQueuedLines; });
            ++queued;
        }
        boost::asio::post(executor, [self, work = std::move(work)] {
            {
                std::lock_guard guard(self->lock);
                --self->queued;
            }
            self->roomForMore.notify_one();
            work();
        });
    }
};

void LineReader::start(Executor executor, int fd, Handlers handlers, std::size_t maxLineBytes) {
    auto shared = std::make_shared<Shared>();
    shared->executor = std::move(executor);
    shared->fd = fd;
    shared->handlers = std::move(handlers);
    shared->maxLineBytes = maxLineBytes;
    std::thread(readLoop, std::move(shared)).detach();
}

void LineReader::readLoop(std::shared_ptr<Shared> shared) {
    auto deliver = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        shared->post(
            [shared, line = std::move(line)]() mutable { shared->handlers.line(std::move(line)); },
            shared);
    };
    auto reportTooLong = [&] { shared->post([shared] { shared->handlers.tooLong(); }, shared); };

    std::string line;
    bool skipping = false;  // inside a line that was already too long
    char buffer[64 * 1024];
    std::optional<std::string> error;
    for (;;) {
        const ssize_t count = ::read(shared->fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
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
                if (line.size() + piece.size() > shared->maxLineBytes) {
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
                deliver(std::move(line));
            }
            line = std::string();
            skipping = false;
            chunk.remove_prefix(newline + 1);
        }
    }
    if (!skipping && !line.empty()) {
        deliver(std::move(line));
    }
    shared->post([shared, error] { shared->handlers.end(error); }, shared);
}

}  // namespace tessarin
