#include "app/helper_process.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "app/shutdown_watchdog.hpp"
#include "core/async/one_shot.hpp"
#include "core/log/diagnostics.hpp"
#include "platform/linux/device_watcher.hpp"
#include "recording/selftest/self_test_command.hpp"
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

// A standard descriptor the parent left closed would be taken by the next descriptor the helper
// opens (the event loop's), and protocol lines or diagnostics would go there; reading a closed
// stdin would wait for ever. /dev/null stands in for each: no input, output discarded.
void openNullOntoClosedStandardDescriptors() {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

}  // namespace

int HelperProcess::main(int argc, char** argv) {
    openNullOntoClosedStandardDescriptors();
    // Lives as long as the process: failures of background work are reported through it.
    static const HelperLog log(STDERR_FILENO);
    Diagnostics::setSink([](std::string_view message) { log.log(message); });
    ProtocolWriter writer(STDOUT_FILENO);
    // A closed standard output must make writes fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    if (std::find(arguments.begin(), arguments.end(), "--selftest") != arguments.end()) {
        return SelfTestCommand::run(arguments);
    }

    boost::asio::io_context io(1);
    HelperProcess process(io, writer, log);
    const int status = serve(io, process.run());
    // The reading thread may still be blocked on stdin: end without unwinding what it uses.
    std::_Exit(status);
}

int HelperProcess::serve(boost::asio::io_context& io, Awaitable<void> work) {
    auto keepRunning = boost::asio::make_work_guard(io);
    int status = 0;
    boost::asio::co_spawn(io, std::move(work), [&](std::exception_ptr error) {
        if (error) {
            Diagnostics::log("the helper failed: " + describe(error));
            status = 1;
            io.stop();
        }
    });
    io.run();
    return status;
}

HelperProcess::HelperProcess(boost::asio::io_context& io, ProtocolWriter& writer,
                             const HelperLog& log)
    : io_(io), writer_(writer), log_(log), tasks_(io.get_executor()) {}

HelperProcess::~HelperProcess() = default;

Awaitable<void> HelperProcess::run() {
    auto executor = io_.get_executor();
    HelperEnvironment env = HelperEnvironment::live(executor);
    const std::shared_ptr<Clock> clock = env.clock;
    tracker_ = RequestTracker::create(executor, clock);
    server_ = HelperServer::create(
        executor, std::move(env), [this](const std::string& line) { writer_.writeLine(line); },
        [this](const std::string& message) { log_.log(message); });
    // Device changes are reported whether or not a recording runs.
    deviceWatcher_ =
        DeviceWatcher::start(executor, clock,
                             [server = std::weak_ptr(server_)](std::optional<std::string> input,
                                                               std::optional<std::string> output) {
                                 if (auto live = server.lock()) {
                                     live->deviceChanged(input, output);
                                 }
                             });
    watchSignals();
    log_.log("started (pid " + std::to_string(getpid()) + ")");

    auto inputEnded = std::make_shared<OneShot<std::optional<std::string>>>(executor);
    LineReader::start(
        executor, STDIN_FILENO,
        {
            .line = [this](LineReader::Line line) { serveLine(std::move(line)); },
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

void HelperProcess::serveLine(LineReader::Line line) {
    tracker_->begin();
    // The line is held (and counts against the reader's bound) until it is answered.
    tasks_.spawn("a request",
                 [server = server_, tracker = tracker_,
                  line = std::move(line)]() mutable -> Awaitable<void> {
                     co_await server->handle(std::move(line.text));
                     tracker->end();
                 });
}

void HelperProcess::answerTooLongLine() {
    writer_.writeLine(HelperCodec::failure(
        nullptr, HelperError("bad_request", "Each line must be at most " +
                                                std::to_string(LineReader::Limits{}.maxLineBytes) +
                                                " bytes")));
}

void HelperProcess::watchSignals() {
    // Installed before the start is logged; from then on SIGTERM and SIGINT only start the exit.
    auto signals = std::make_shared<boost::asio::signal_set>(io_, SIGTERM, SIGINT);
    tasks_.spawn("the signal watch", [this, signals]() -> Awaitable<void> {
        for (;;) {
            const int number =
                co_await signals->async_wait(boost::asio::use_awaitable_t<Executor>{});
            const std::string reason = number == SIGTERM ? "SIGTERM" : "SIGINT";
            tasks_.spawn("the exit",
                         [this, reason]() -> Awaitable<void> { co_await exitCleanly(reason); });
        }
    });
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
