#pragma once

#include <sys/types.h>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessarin::test {

// A program run by a test with its standard input, output and error on pipes, and SIGPIPE at its
// default as under a real parent; killed if still running when this is destroyed.
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& path, const std::vector<std::string>& arguments = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& bytes);
    void closeInput();
    void closeOutput();

    // Reads standard output until it holds `count` complete lines (or the time runs out) and
    // returns the lines read so far, without their line feeds.
    std::vector<std::string> readLines(std::size_t count,
                                       std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads standard error until it contains `text` (for at most ten seconds); whether it did.
    bool awaitErrorOutput(const std::string& text);
    // Waits for the process to end and reads its pipes to their ends; its exit status, or nothing
    // when it did not end in time or was killed by a signal.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    const std::string& errorOutput() const { return error_.text; }
    std::vector<std::string> remainingLines() { return readLines(SIZE_MAX, {}); }

    pid_t pid() const { return pid_; }

  private:
    struct Stream {
        int fd = -1;
        std::string text;
    };
    // Reads both pipes until `done` holds, both have ended or `limit` has passed; whether `done`
    // held.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int input_ = -1;
    Stream output_, error_;
    bool reaped_ = false;
    std::optional<int> status_;
};

}  // namespace tessarin::test
