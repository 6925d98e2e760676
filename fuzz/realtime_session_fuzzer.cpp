// A realtime session talking to a service whose side of the connection is the input: each line is
// one message the service sends, delivered 10 ms of virtual time after the one before. Meanwhile
// the session is given 100 ms of audio every 10 ms and commits every third piece, so the messages
// find items to settle; at the end it finishes and closes. Every segment must cover audio that was
// committed, and nothing may be reported after the close.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "core/async/manual_clock.hpp"
#include "core/async/task.hpp"
#include "fuzz_support.hpp"
#include "recording/realtime/realtime_session.hpp"

using namespace tessarin;

namespace {

constexpr auto step = std::chrono::milliseconds(10);
constexpr std::int64_t pieceMs = 100;

class ScriptedService final : public RealtimeSocket {
  public:
    ScriptedService(std::shared_ptr<Clock> clock, std::vector<std::string> messages)
        : clock_(std::move(clock)), messages_(std::move(messages)) {}

    void send(std::string, SendCompletion completion) override {
        if (completion) {
            completion(closed_ ? std::optional<std::string>("closed") : std::nullopt);
        }
    }
    Awaitable<std::string> receive() override {
        co_await clock_->sleep(step);
        if (closed_ || next_ >= messages_.size()) {
            throw std::runtime_error("the connection ended");
        }
        co_return messages_[next_++];
    }
    void close() override { closed_ = true; }
    std::optional<int> httpStatus() const override { return 101; }

  private:
    std::shared_ptr<Clock> clock_;
    std::vector<std::string> messages_;
    std::size_t next_ = 0;
    bool closed_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> messages = linesOf(textOf(data, size));
    if (messages.size() > 200) {
        return 0;
    }
    boost::asio::io_context io;
    auto clock = std::make_shared<ManualClock>(io);
    std::int64_t committedMs = 0;
    bool closed = false;
    auto onEvent = [&](const RealtimeSession::Event& event) {
        require(!closed, "nothing is reported after the close");
        if (event.kind == RealtimeSession::Event::Kind::segment) {
            require(0 <= event.t0 && event.t0 <= event.t1 && event.t1 <= committedMs,
                    "a segment covers committed audio");
        }
    };
    RealtimeSession::Settings settings{"wss://service.example/v1/realtime", "key", "model", {}};
    auto session = RealtimeSession::create(
        io.get_executor(), clock, settings,
        [&](RealtimeRequest) { return std::make_shared<ScriptedService>(clock, messages); },
        onEvent);
    session->connect();
    std::int64_t sentMs = 0;
    for (std::size_t i = 0; i <= messages.size() && !session->isClosed(); ++i) {
        session->appendAudio(std::vector<std::uint8_t>(pieceMs * 48, 1), sentMs);
        sentMs += pieceMs;
        if (i % 3 == 2) {
            session->commit(committedMs, sentMs);
            committedMs = sentMs;
        }
        clock->advance(step);
    }
    auto finishing =
        Task<>::spawn(io.get_executor(), "the finish", [session] { return session->finish(); });
    clock->advance(std::chrono::seconds(5));
    session->close();
    closed = true;
    clock->advance(std::chrono::seconds(1));
    session->takeUntranscribed();
    return 0;
}
