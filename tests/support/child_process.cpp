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

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

}  // namespace

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
    if (!status_) {
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

bool ChildProcess::pump(std::chrono::milliseconds limit) {
    pollfd entries[] = {{output_.fd, POLLIN, 0}, {error_.fd, POLLIN, 0}};  // poll skips -1
    if ((output_.fd < 0 && error_.fd < 0) || poll(entries, 2, int(limit.count())) <= 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        Stream& stream = i == 0 ? output_ : error_;
        char buffer[65536];
        const ssize_t n = entries[i].revents ? read(stream.fd, buffer, sizeof buffer) : -1;
        if (n > 0) {
            stream.text.append(buffer, static_cast<std::size_t>(n));
        } else if (entries[i].revents) {
            close(std::exchange(stream.fd, -1));  // the child closed its end: all of it is read
        }
    }
    return true;
}

std::vector<std::string> ChildProcess::readLines(std::size_t count,
                                                 std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<std::string> lines;
    for (;;) {
        std::size_t newline;
        while (lines.size() < count && (newline = output_.text.find('\n')) != std::string::npos) {
            lines.push_back(output_.text.substr(0, newline));
            output_.text.erase(0, newline + 1);
        }
        if (lines.size() == count || output_.fd < 0 || !pump(left(deadline))) {
            return lines;
        }
    }
}

bool ChildProcess::awaitErrorOutput(const std::string& text) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (error_.text.find(text) == std::string::npos) {
        if (!pump(left(deadline))) {
            return false;
        }
    }
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        } else if (!pump(std::chrono::milliseconds(2))) {
            usleep(1000);  // the pipes flow meanwhile, so it never blocks on a full one
        }
    }
    while (pump(std::chrono::seconds(1))) {
    }
    return *status_;
}

}  // namespace tessarin::test
