#pragma once

#include <sys/types.h>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessarin::test {

// A program run by a test with its standard input, output and error on pipes.
class ChildProcess {
  public:
    // How the parent hands over the standard descriptors; by default three blocking pipes.
    struct Options {
        std::optional<int> closedDescriptor = std::nullopt;  // 0, 1 or 2: closed in the child
        bool nonBlockingInput = false;                       // the input pipe in O_NONBLOCK mode
        // Variables set in its environment besides those of this process.
        std::vector<std::pair<std::string, std::string>> environment = {};
    };

    explicit ChildProcess(const std::string& path, const std::vector<std::string>& arguments = {});
    ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                 Options options);
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
    // Reads standard error until it contains `text`; whether it did in time.
    bool awaitErrorOutput(const std::string& text,
                          std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits for the process to end; its exit status, or nothing when it did not end in time or
    // was killed by a signal.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Everything it wrote to standard error so far (all of it after wait()).
    const std::string& errorOutput() const { return errorBuffer_; }
    // Everything left on standard output (all of it after wait()), as lines.
    std::vector<std::string> remainingLines();

    pid_t pid() const { return pid_; }

  private:
    // Waits up to `limit` for either pipe to have data and reads what is there; false once the
    // time is up or both pipes are closed.
    bool pump(std::chrono::milliseconds limit);

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
