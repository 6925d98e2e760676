#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "app/line_reader.hpp"
#include "app/protocol_writer.hpp"
#include "app/shutdown_watchdog.hpp"

namespace tessarin {
namespace {

using namespace std::chrono_literals;

struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0)
            close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0)
            close(write);
        write = -1;
    }
};

struct Collected {
    std::vector<std::string> lines;
    int tooLong = 0;
    bool ended = false;
    std::optional<std::string> error;
};

// Feeds `input` through a LineReader with a small line limit and collects what reaches the
// executor.
Collected readAll(const std::string& input, std::size_t maxLine) {
    boost::asio::io_context io;
    Pipe pipe;
    Collected got;
    LineReader::start(io.get_executor(), pipe.read,
                      {
                          .line = [&](std::string line) { got.lines.push_back(std::move(line)); },
                          .tooLong = [&] { got.lines.push_back("<too long>"); },
                          .end =
                              [&](std::optional<std::string> error) {
                                  got.ended = true;
                                  got.error = error;
                              },
                      },
                      maxLine);
    std::thread writer([&] {
        // Small writes so lines straddle reads.
        for (std::size_t i = 0; i < input.size(); i += 3) {
            EXPECT_GT(
                ::write(pipe.write, input.data() + i, std::min<std::size_t>(3, input.size() - i)),
                0);
        }
        pipe.closeWrite();
    });
    auto busy = boost::asio::make_work_guard(io);  // the reader posts from another thread
    while (!got.ended) {
        io.run_one_for(5s);
    }
    writer.join();
    return got;
}

TEST(LineReaderTest, SplitsLinesAndSkipsOverlongOnesToTheNextLineEnd) {
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"plain lines and a last line without a feed", "ab\ncd\nef", {"ab", "cd", "ef"}},
        {"CRLF endings lose the CR", "ab\r\ncd\r\n", {"ab", "cd"}},
        {"blank lines are lines", "\n\nx\n", {"", "", "x"}},
        {"a line at the limit is kept", "12345678\nz\n", {"12345678", "z"}},
        {"an overlong line is reported once and skipped",
         "123456789abcdef0123\nz\n",
         {"<too long>", "z"}},
        {"an overlong last line without a feed", "ok\n123456789abcdef", {"ok", "<too long>"}},
        {"a CR does not end a line", "a\rb\n", {"a\rb"}},
    };
    for (const auto& c : cases) {
        const auto got = readAll(c.input, 8);
        EXPECT_EQ(got.lines, c.expected) << c.name;
        EXPECT_FALSE(got.error) << c.name;
    }
}

TEST(ProtocolWriterTest, LinesFromManyThreadsNeverInterleave) {
    Pipe pipe;
    ProtocolWriter writer(pipe.write);
    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(pipe.read, buffer, sizeof buffer)) > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    std::vector<std::thread> writers;
    for (char c = 'a'; c < 'a' + 4; ++c) {
        writers.emplace_back([&writer, c] {
            // Lines longer than a pipe's buffer force partial writes.
            const std::string line(200000, c);
            for (int i = 0; i < 5; ++i) {
                EXPECT_TRUE(writer.writeLine(line));
            }
        });
    }
    for (auto& w : writers)
        w.join();
    pipe.closeWrite();
    reader.join();
    std::size_t start = 0, lines = 0, end;
    while ((end = received.find('\n', start)) != std::string::npos) {
        const std::string line = received.substr(start, end - start);
        ASSERT_EQ(line.size(), 200000u);
        EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "interleaved line";
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 20u);
}

TEST(ProtocolWriterTest, AClosedReaderAbandonsTheLineWithoutKillingTheProcess) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    pipe.closeRead();
    ProtocolWriter writer(pipe.write);
    EXPECT_FALSE(writer.writeLine("{\"id\":1}"));
    EXPECT_FALSE(writer.writeLine("{\"id\":2}"));
}

TEST(ShutdownWatchdogDeathTest, FiresEvenWhenTheMainThreadIsStuck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ShutdownWatchdog::arm(20ms, [] {
                const char message[] = "shutdown took too long\n";
                [[maybe_unused]] auto n = ::write(2, message, sizeof message - 1);
            });
            for (;;) {
                std::this_thread::sleep_for(1h);  // a stuck executor
            }
        },
        testing::ExitedWithCode(1), "shutdown took too long");
}

}  // namespace
}  // namespace tessarin
