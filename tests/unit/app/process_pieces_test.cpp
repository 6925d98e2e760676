#include <fcntl.h>
#include <unistd.h>
#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "app/helper_process.hpp"
#include "app/line_reader.hpp"
#include "app/protocol_writer.hpp"
#include "app/shutdown_watchdog.hpp"
#include "core/log/diagnostics.hpp"
#include "support/io_driver.hpp"

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

// A LineReader over a pipe whose writer sends `input` in 3-byte pieces (so lines straddle reads)
// and then closes. Lines handed over are kept, holding their share of the bound, while `holding`.
struct ReaderRun {
    boost::asio::io_context io;
    Pipe pipe;
    std::vector<std::string> lines;
    std::vector<LineReader::Line> held;
    bool holding = false;
    bool ended = false;
    std::optional<std::string> error;
    std::thread writer;

    ReaderRun(const std::string& input, LineReader::Limits limits) {
        LineReader::start(io.get_executor(), pipe.read,
                          {
                              .line =
                                  [this](LineReader::Line line) {
                                      lines.push_back(line.text);
                                      if (holding) {
                                          held.push_back(std::move(line));
                                      }
                                  },
                              .tooLong = [this] { lines.push_back("<too long>"); },
                              .end =
                                  [this](std::optional<std::string> failure) {
                                      ended = true;
                                      error = failure;
                                  },
                          },
                          limits);
        writer = std::thread([this, input] {
            for (std::size_t i = 0; i < input.size(); i += 3) {
                EXPECT_GT(::write(pipe.write, input.data() + i,
                                  std::min<std::size_t>(3, input.size() - i)),
                          0);
            }
            pipe.closeWrite();
        });
    }
    ~ReaderRun() { writer.join(); }

    bool finish() {
        return test::runUntil(io, [this] { return ended; });
    }
};

TEST(LineReaderTest, SplitsLinesAndSkipsOverlongOnesToTheNextLineEnd) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"ab\ncd\nef", {"ab", "cd", "ef"}},
        {"ab\r\ncd\r\n", {"ab", "cd"}},
        {"\n\nx\n", {"", "", "x"}},
        {"12345678\nz\n", {"12345678", "z"}},
        {"123456789\nz\n", {"<too long>", "z"}},
        {"123456789abcdef0123\nz\n", {"<too long>", "z"}},
        {"ok\n123456789abcdef", {"ok", "<too long>"}},
        {"a\rb\n", {"a\rb"}},
    };
    for (const auto& [input, expected] : cases) {
        ReaderRun run(input, {.maxLineBytes = 8});
        ASSERT_TRUE(run.finish()) << input;
        EXPECT_EQ(run.lines, expected) << input;
        EXPECT_FALSE(run.error) << input;
    }
}

TEST(LineReaderTest, ReadingWaitsWhileLinesInFlightHoldTheBoundAndLosesNothing) {
    struct Case {
        const char* name;
        LineReader::Limits limits;
        std::size_t admitted;
    };
    const Case cases[] = {
        {"bytes filled exactly", {.maxLineBytes = 8, .maxHeldBytes = 10}, 3},
        {"one byte over the bytes", {.maxLineBytes = 8, .maxHeldBytes = 9}, 2},
        {"lines", {.maxLineBytes = 8, .maxHeldLines = 2}, 2},
        {"a line above the bytes passes alone", {.maxLineBytes = 8, .maxHeldBytes = 3}, 1},
    };
    for (const auto& c : cases) {
        ReaderRun run("aaaa\nbbbb\ncc\nd\n", c.limits);
        run.holding = true;
        test::runUntil(run.io, [&] { return run.lines.size() >= c.admitted; });
        test::settle(run.io, 20ms);
        EXPECT_EQ(run.lines.size(), c.admitted) << c.name;
        run.holding = false;
        run.held.clear();
        ASSERT_TRUE(run.finish()) << c.name;
        EXPECT_EQ(run.lines, (std::vector<std::string>{"aaaa", "bbbb", "cc", "d"})) << c.name;
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

TEST(HelperProcessServe, AFailingMainLoopIsLoggedAndEndsWithStatusOne) {
    std::vector<std::string> logged;
    Diagnostics::setSink([&](std::string_view line) { logged.emplace_back(line); });
    boost::asio::io_context io;
    const int status = HelperProcess::serve(io, []() -> Awaitable<void> {
        co_await boost::asio::post(boost::asio::use_awaitable_t<Executor>{});
        throw std::runtime_error("no event loop");
    }());
    Diagnostics::setSink({});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(logged, std::vector<std::string>{"the helper failed: no event loop"});
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
