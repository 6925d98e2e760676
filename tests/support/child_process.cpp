#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace tessarin::test {

namespace {

using Clock = std::chrono::steady_clock;

void makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

std::chrono::milliseconds left(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

// Takes the complete lines off the front of `buffer`, at most `count` of them.
void takeLines(std::string& buffer, std::vector<std::string>& lines, std::size_t count) {
    std::size_t newline;
    while (lines.size() < count && (newline = buffer.find('\n')) != std::string::npos) {
        lines.push_back(buffer.substr(0, newline));
        buffer.erase(0, newline + 1);
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments)
    : ChildProcess(path, arguments, Options{}) {}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                           Options options) {
    int in[2], out[2], err[2];
    makePipe(in);
    makePipe(out);
    makePipe(err);
    if (options.nonBlockingInput) {
        fcntl(in[0], F_SETFL, fcntl(in[0], F_GETFL) | O_NONBLOCK);
    }
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    // Made before the fork: the child may only call async-signal-safe functions.
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable) {
        variables.emplace_back(*variable);
    }
    for (const auto& [name, value] : options.environment) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (options.closedDescriptor) {
            close(*options.closedDescriptor);
        }
        std::signal(SIGPIPE, SIG_DFL);
        execve(path.c_str(), argv.data(), envp.data());
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

bool ChildProcess::pump(std::chrono::milliseconds limit) {
    pollfd entries[] = {{output_, POLLIN, 0}, {error_, POLLIN, 0}};
    std::string* buffers[] = {&outputBuffer_, &errorBuffer_};
    int* fds[] = {&output_, &error_};
    if (output_ < 0 && error_ < 0) {
        return false;
    }
    if (poll(entries, 2, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (entries[i].revents == 0) {
            continue;
        }
        char buffer[65536];
        const ssize_t n = read(*fds[i], buffer, sizeof buffer);
        if (n > 0) {
            buffers[i]->append(buffer, static_cast<std::size_t>(n));
        } else {
            close(*fds[i]);  // the child closed its end: all of it has been read
            *fds[i] = -1;
        }
    }
    return true;
}

std::vector<std::string> ChildProcess::readLines(std::size_t count,
                                                 std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<std::string> lines;
    takeLines(outputBuffer_, lines, count);
    while (lines.size() < count && output_ >= 0 && pump(left(deadline))) {
        takeLines(outputBuffer_, lines, count);
    }
    return lines;
}

bool ChildProcess::awaitErrorOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (errorBuffer_.find(text) == std::string::npos) {
        if (!pump(left(deadline))) {
            return false;
        }
    }
    return true;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!reaped_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        } else if (!pump(std::chrono::milliseconds(2))) {
            // Keep the pipes flowing so the child never blocks on a full pipe while exiting.
            usleep(1000);
        }
    }
    while (pump(std::chrono::milliseconds(1000))) {
    }
    return status_;
}

std::vector<std::string> ChildProcess::remainingLines() {
    std::vector<std::string> lines;
    takeLines(outputBuffer_, lines, SIZE_MAX);
    return lines;
}

}  // namespace tessarin::test
