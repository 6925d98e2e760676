#pragma once

#include <sys/types.h>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tessarin::test {

// A program run by a test with its standard input, output and error on pipes.
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& path, const std::vector<std::string>& arguments = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& bytes);
    void closeInput();
    // Closes our end of its standard output, so its writes there fail.
    void closeOutput();
    void signal(int number);

    // Reads standard output until it holds `count` complete lines (or the time runs out) and
    // returns the lines read so far, without their line feeds.
    std::vector<std::string> readLines(std::size_t count,
                                       std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits for the process to end; its exit status, or nothing when it did not end in time or
    // was killed by a signal.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Everything it wrote to standard error (complete after wait()).
    std::string errorOutput();
    // Everything left on standard output (complete after wait()), as lines.
    std::vector<std::string> remainingLines();

    pid_t pid() const { return pid_; }

  private:
    void drain(int fd, std::string& into, std::chrono::milliseconds limit, bool untilClosed);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::string outputBuffer_;
    std::string errorBuffer_;
    std::optional<int> status_;
    bool reaped_ = false;
};

}  // namespace tessarin::test
