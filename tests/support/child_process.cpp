#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <utility>

namespace tessarin::test {

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments) {
    int pipes[3][2];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
        if (pipe2(pipes[fd], O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_adddup2(&actions, pipes[fd][fd == 0 ? 0 : 1], fd);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const int failed =
        posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd = 0; fd < 3; ++fd) {
        close(pipes[fd][fd == 0 ? 0 : 1]);
    }
    input_ = pipes[0][1];
    output_.fd = pipes[1][0];
    error_.fd = pipes[2][0];
    if (failed) {
        throw std::runtime_error("cannot start " + path);
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {input_, output_.fd, error_.fd}) {
        close(fd);  // -1 when closed already: nothing happens
    }
}

void ChildProcess::write(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
        if (n <= 0 && errno != EINTR) {
            throw std::runtime_error("write to child failed");
        }
        done += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
}

void ChildProcess::closeInput() {
    close(std::exchange(input_, -1));
}

void ChildProcess::closeOutput() {
    close(std::exchange(output_.fd, -1));
}

bool ChildProcess::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        pollfd entries[] = {{output_.fd, POLLIN, 0}, {error_.fd, POLLIN, 0}};  // poll skips -1
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if ((output_.fd < 0 && error_.fd < 0) ||
            poll(entries, 2, int(std::max(left.count(), 0l))) <= 0) {
            return done();
        }
        for (Stream* stream : {&output_, &error_}) {
            char buffer[65536];
            const short events = entries[stream == &output_ ? 0 : 1].revents;
            const ssize_t n = events ? read(stream->fd, buffer, sizeof buffer) : -1;
            if (n > 0) {
                stream->text.append(buffer, static_cast<std::size_t>(n));
            } else if (events) {
                close(std::exchange(stream->fd, -1));  // the child closed its end: all is read
            }
        }
    }
    return true;
}

std::vector<std::string> ChildProcess::readLines(std::size_t count,
                                                 std::chrono::milliseconds limit) {
    std::vector<std::string> lines;
    const auto take = [&] {
        for (std::size_t end;
             lines.size() < count && (end = output_.text.find('\n')) != std::string::npos;) {
            lines.push_back(output_.text.substr(0, end));
            output_.text.erase(0, end + 1);
        }
        return lines.size() == count || output_.fd < 0;
    };
    pumpUntil(take, limit);
    return lines;
}

bool ChildProcess::awaitErrorOutput(const std::string& text) {
    return pumpUntil([&] { return error_.text.find(text) != std::string::npos; },
                     std::chrono::seconds(10));
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    // Reading its pipes to their ends keeps it from blocking on a full one.
    pumpUntil([] { return false; }, limit);
    int status = 0;
    const bool ended = output_.fd < 0 && error_.fd < 0;
    if (!reaped_ && waitpid(pid_, &status, ended ? 0 : WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
    }
    return status_;
}

}  // namespace tessarin::test
