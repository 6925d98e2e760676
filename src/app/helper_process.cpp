#include "app/helper_process.hpp"

#include <unistd.h>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>

#include "app/line_reader.hpp"
#include "app/shutdown_watchdog.hpp"
#include "core/async/steady_clock.hpp"
#include "core/async/task.hpp"
#include "recording/server/helper_codec.hpp"
#include "recording/server/helper_environment.hpp"
#include "recording/server/helper_server.hpp"
#include "recording/server/request_tracker.hpp"

namespace tessarin {

namespace {

// "0.250713 seconds": a duration written as a decimal number of seconds.
std::string describeSeconds(std::chrono::steady_clock::duration elapsed) {
    char buffer[32];
    const double secondsElapsed = std::chrono::duration<double>(elapsed).count();
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, secondsElapsed, std::chars_format::fixed);
    return std::string(buffer, error == std::errc{} ? end : buffer) + " seconds";
}

}  // namespace

struct HelperProcess::Signals {
    explicit Signals(boost::asio::io_context& io) : set(io, SIGTERM, SIGINT) {}
    boost::asio::signal_set set;
};

int HelperProcess::main(int argc, char** argv) {
    HelperLog log(STDERR_FILENO);
    ProtocolWriter writer(STDOUT_FILENO);
    // A closed standard output must make writes fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--selftest") == 0) {
            const char message[] = "self-test is not available in this build\n";
            [[maybe_unused]] auto written = ::write(STDERR_FILENO, message, sizeof message - 1);
            return 2;
        }
    }

    boost::asio::io_context io(1);
    auto keepRunning = boost::asio::make_work_guard(io);
    HelperProcess process(io, writer, log);
    boost::asio::co_spawn(io, process.run(), boost::asio::detached);
    io.run();
    return 0;
}

HelperProcess::HelperProcess(boost::asio::io_context& io, ProtocolWriter& writer,
                             const HelperLog& log)
    : io_(io), writer_(writer), log_(log) {}

HelperProcess::~HelperProcess() = default;

Awaitable<void> HelperProcess::run() {
    auto executor = io_.get_executor();
    HelperEnvironment env = HelperEnvironment::live(executor);
    auto clock = env.clock;
    server_ = HelperServer::create(
        executor, std::move(env), [this](const std::string& line) { writer_.writeLine(line); },
        [this](const std::string& message) { log_.log(message); });
    tracker_ = RequestTracker::create(executor, clock);
    watchSignals();
    log_.log("started (pid " + std::to_string(getpid()) + ")");

    auto inputEnded = std::make_shared<OneShot<std::optional<std::string>>>(executor);
    LineReader::start(
        executor, STDIN_FILENO,
        {
            .line = [this](std::string line) { serveLine(std::move(line)); },
            .tooLong = [this] { answerTooLongLine(); },
            .end = [inputEnded](
                       std::optional<std::string> error) { inputEnded->resume(std::move(error)); },
        });
    const std::optional<std::string> error = co_await inputEnded->wait();
    if (error) {
        log_.log("stdin failed: " + *error);
    }
    co_await exitCleanly("stdin closed");
}

void HelperProcess::serveLine(std::string line) {
    tracker_->begin();
    Task<>::spawn(
        io_.get_executor(), "a request",
        [server = server_, tracker = tracker_, line = std::move(line)]() -> Awaitable<void> {
            co_await server->handle(line);
            tracker->end();
        });
}

void HelperProcess::answerTooLongLine() {
    writer_.writeLine(HelperCodec::failure(
        nullptr, HelperError("bad_request", "Each line must be at most " +
                                                std::to_string(LineReader::defaultMaxLineBytes) +
                                                " bytes")));
}

void HelperProcess::watchSignals() {
    signals_ = std::make_unique<Signals>(io_);
    // Handled through the executor: the default action (immediate termination) never runs.
    auto wait = std::make_shared<std::function<void()>>();
    *wait = [this, wait] {
        signals_->set.async_wait([this, wait](const boost::system::error_code& error, int number) {
            if (error) {
                return;
            }
            const std::string reason = number == SIGTERM ? "SIGTERM" : "SIGINT";
            Task<>::spawn(io_.get_executor(), "the exit",
                          [this, reason]() -> Awaitable<void> { co_await exitCleanly(reason); });
            (*wait)();
        });
    };
    (*wait)();
}

Awaitable<void> HelperProcess::exitCleanly(std::string reason) {
    if (exiting_) {
        co_return;
    }
    exiting_ = true;
    log_.log(reason + "; exiting");
    ShutdownWatchdog::arm(ShutdownWatchdog::defaultDelay,
                          [this] { log_.log("shutdown took too long"); });
    const auto started = std::chrono::steady_clock::now();

    co_await server_->shutdown();
    const bool allAnswered = co_await tracker_->drain(RequestTracker::defaultGrace);
    if (!allAnswered) {
        log_.log("exiting with " + std::to_string(tracker_->pending()) + " request(s) unanswered");
    }
    log_.log("exit after " + describeSeconds(std::chrono::steady_clock::now() - started));
    std::_Exit(0);
}

}  // namespace tessarin
