#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

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
    int ends[2] = {-1, -1};  // read, write; closing -1 does nothing
    Pipe() { EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0); }
    ~Pipe() { close(ends[0]), close(ends[1]); }
    void closeWrite() { close(std::exchange(ends[1], -1)); }
};

// A LineReader over a non-blocking pipe (as a parent may hand it over) written in 3-byte pieces, so
// lines straddle reads and the reader finds it empty between them; lines handed over are kept in
// `held`, holding their share of the bound, while `holding`.
struct ReaderRun {
    boost::asio::io_context io;
    Pipe pipe;
    std::vector<std::string> lines;
    std::vector<LineReader::Line> held;
    bool holding = true;
    bool ended = false;
    std::thread writer;

    ReaderRun(const std::string& input, LineReader::Limits limits) {
        EXPECT_EQ(fcntl(pipe.ends[0], F_SETFL, O_NONBLOCK), 0);
        LineReader::start(io.get_executor(), pipe.ends[0],
                          {.line =
                               [this](LineReader::Line line) {
                                   lines.push_back(line.text);
                                   if (holding) {
                                       held.push_back(std::move(line));
                                   }
                               },
                           .tooLong = [this] { lines.push_back("<too long>"); },
                           .end = [this](std::optional<std::string> error) { ended = !error; }},
                          limits);
        writer = std::thread([this, input] {
            for (std::size_t i = 0; i < input.size(); i += 3) {
                EXPECT_GT(::write(pipe.ends[1], input.data() + i,
                                  std::min<std::size_t>(3, input.size() - i)),
                          0);
            }
            pipe.closeWrite();
        });
    }
    ~ReaderRun() { writer.join(); }
};

TEST(LineReaderTest, SplitsLinesSkipsOverlongOnesAndWaitsWhileLinesInFlightFillTheBound) {
    struct Case {
        std::string input;
        LineReader::Limits limits;
        // Lines handed over while all of them are held; then again once those are released.
        std::size_t admitted[2];
        std::vector<std::string> lines;
    };
    const LineReader::Limits lineOf8{.maxLineBytes = 8};
    const std::string five = "aaaa\nbbbb\ncc\nd\ne\n";
    const std::vector<std::string> fiveLines = {"aaaa", "bbbb", "cc", "d", "e"};
    const Case cases[] = {
        {"ab\ncd\nef", lineOf8, {3, 3}, {"ab", "cd", "ef"}},
        {"ab\r\ncd\r\n", lineOf8, {2, 2}, {"ab", "cd"}},
        {"\n\nx\n", lineOf8, {3, 3}, {"", "", "x"}},
        {"a\rb\n", lineOf8, {1, 1}, {"a\rb"}},
        {"12345678\nz\n", lineOf8, {2, 2}, {"12345678", "z"}},
        {"123456789\nz\n", lineOf8, {2, 2}, {"<too long>", "z"}},
        {"ok\n123456789abcdef", lineOf8, {2, 2}, {"ok", "<too long>"}},
        {five, {.maxLineBytes = 8, .maxHeldBytes = 10}, {3, 5}, fiveLines},  // filled exactly
        {five, {.maxLineBytes = 8, .maxHeldBytes = 9}, {2, 5}, fiveLines},   // one byte over
        {five, {.maxLineBytes = 8, .maxHeldLines = 2}, {2, 4}, fiveLines},
        {five, {.maxLineBytes = 8, .maxHeldBytes = 3}, {1, 2}, fiveLines},  // alone above it
    };
    for (const auto& c : cases) {
        ReaderRun run(c.input, c.limits);
        for (std::size_t admitted : c.admitted) {
            test::runUntil(run.io, [&] { return run.lines.size() >= admitted; });
            test::settle(run.io, 20ms);
            EXPECT_EQ(run.lines.size(), admitted) << c.input;
            run.held.clear();
        }
        run.holding = false;
        ASSERT_TRUE(test::runUntil(run.io, [&] { return run.ended; })) << c.input;
        EXPECT_EQ(run.lines, c.lines) << c.input;
    }
}

// A full non-blocking output takes part of a line or none of it; the rest follows once the reader
// catches up, without lines of other threads between.
TEST(ProtocolWriterTest, LinesFromManyThreadsIntoAFullNonBlockingPipeArriveWholeAndApart) {
    Pipe pipe;
    ASSERT_EQ(fcntl(pipe.ends[1], F_SETFL, O_NONBLOCK), 0);
    ProtocolWriter writer(pipe.ends[1]);
    std::string received;
    std::thread reader([&, capacity = fcntl(pipe.ends[0], F_GETPIPE_SZ)] {
        for (int queued = 0; queued < capacity;) {  // reads only once the pipe is full
            ASSERT_EQ(ioctl(pipe.ends[0], FIONREAD, &queued), 0);
        }
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipe.ends[0], buffer, sizeof buffer)) > 0;) {
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    std::vector<std::jthread> writers;
    for (char c = 'a'; c < 'a' + 4; ++c) {
        writers.emplace_back([&writer, c] {
            for (int i = 0; i < 5; ++i) {  // longer than the pipe holds
                EXPECT_TRUE(writer.writeLine(std::string(200000, c)));
            }
        });
    }
    writers.clear();
    pipe.closeWrite();
    reader.join();
    ASSERT_EQ(received.size(), 20 * 200001u);
    for (std::size_t at = 0; at < received.size(); at += 200001) {
        EXPECT_TRUE(received.substr(at, 200001) == std::string(200000, received[at]) + "\n") << at;
    }
}

// Without a sink each diagnostic is one named line on standard error.
TEST(HelperProcessServe, AFailingMainLoopIsLoggedAndEndsWithStatusOne) {
    testing::internal::CaptureStderr();
    boost::asio::io_context io;
    const int status = HelperProcess::serve(io, []() -> Awaitable<void> {
        co_await boost::asio::post(boost::asio::use_awaitable_t<Executor>{});
        throw std::runtime_error("no event loop");
    }());
    Diagnostics::log("next");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tessarin-helper: the helper failed: no event loop\ntessarin-helper: next\n");
    EXPECT_EQ(status, 1);
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
