#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace tessarin::test {

namespace {

void makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments) {
    int in[2], out[2], err[2];
    makePipe(in);
    makePipe(out);
    makePipe(err);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::signal(SIGPIPE, SIG_DFL);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {input_, output_, error_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void ChildProcess::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("write to child failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeInput() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

void ChildProcess::closeOutput() {
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
}

void ChildProcess::signal(int number) {
    kill(pid_, number);
}

void ChildProcess::drain(int fd, std::string& into, std::chrono::milliseconds limit,
                         bool untilClosed) {
    if (fd < 0) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        const int ready =
            poll(&entry, 1, untilClosed ? static_cast<int>(std::max<long>(left.count(), 0)) : 0);
        if (ready <= 0) {
            return;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        into.append(buffer, static_cast<std::size_t>(n));
        if (!untilClosed) {
            continue;
        }
    }
}

std::vector<std::string> ChildProcess::readLines(std::size_t count,
                                                 std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::string> lines;
    char buffer[65536];
    for (;;) {
        std::size_t newline;
        while (lines.size() < count && (newline = outputBuffer_.find('\n')) != std::string::npos) {
            lines.push_back(outputBuffer_.substr(0, newline));
            outputBuffer_.erase(0, newline + 1);
        }
        if (lines.size() >= count || output_ < 0) {
            return lines;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return lines;
        }
        pollfd entry{output_, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return lines;
        }
        const ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0) {
            return lines;
        }
        outputBuffer_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reaped_) {
        // Keep the pipes flowing so the child never blocks on a full pipe while exiting.
        drain(error_, errorBuffer_, std::chrono::milliseconds(0), false);
        drain(output_, outputBuffer_, std::chrono::milliseconds(0), false);
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            if (WIFEXITED(status)) {
                status_ = WEXITSTATUS(status);
            }
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    drain(error_, errorBuffer_, std::chrono::milliseconds(1000), true);
    drain(output_, outputBuffer_, std::chrono::milliseconds(1000), true);
    return status_;
}

std::string ChildProcess::errorOutput() {
    drain(error_, errorBuffer_, std::chrono::milliseconds(0), false);
    return errorBuffer_;
}

std::vector<std::string> ChildProcess::remainingLines() {
    std::vector<std::string> lines;
    std::size_t newline;
    while ((newline = outputBuffer_.find('\n')) != std::string::npos) {
        lines.push_back(outputBuffer_.substr(0, newline));
        outputBuffer_.erase(0, newline + 1);
    }
    return lines;
}

}  // namespace tessarin::test
