#include "recording/realtime/realtime_session.hpp"

#include <gtest/gtest.h>

#include "support/loopback_http_server.hpp"
#include "support/pending.hpp"
#include "support/realtime_harness.hpp"

namespace tessarin::test {
namespace {

using Event = RealtimeSession::Event;
using Taken = OutageBuffer::Taken;

const std::string stopped = "OpenAI transcription stopped";

// Distinct, recognisable PCM bytes.
std::vector<std::uint8_t> pcm(std::size_t bytes, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> result(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        result[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return result;
}
std::string transcription(const std::string& what, const std::string& item,
                          const std::string& more = "") {
    return itemMessage("conversation.item.input_audio_transcription." + what, item, more);
}
std::string committed(const std::string& item) {
    return itemMessage("input_audio_buffer.committed", item);
}
std::string errorCoded(const std::string& code) {
    return R"({"type":"error","error":{"message":"x","code":)" + code + "}}";
}

struct SessionTest : RealtimeHarness {
    std::vector<Event> events;
    std::shared_ptr<RealtimeSession> session = make(server.url(), "de");

    std::shared_ptr<RealtimeSession> make(std::string url, std::optional<std::string> language) {
        RealtimeSession::Settings settings{url, "ek_test", "gpt-live-transcribe", language};
        return keep(RealtimeSession::create(io.get_executor(), clock, settings, liveSockets(),
                                            [this](Event event) { events.push_back(event); }));
    }
    void connect() {
        session->connect();
        EXPECT_TRUE(runUntil([&] { return session->isReady(); }));
    }
    void serverSends(std::initializer_list<std::string> messages) {
        for (const auto& message : messages) {
            server.lastConnection().send(message);
        }
    }
    bool serverReceived(std::size_t count) {
        return runUntil([&] {
            return server.connectionCount() > 0 && server.lastConnection().messages.size() >= count;
        });
    }
};

// Commits of less than 100 ms get silence appended: none at 100 ms, 1 ms at 99 ms. Messages it
// cannot use (not JSON, no or an unknown type, fields of the wrong type) change nothing. A finish
// begun before the confirmation keeps its final wait, which reports the text so far.
TEST(RealtimeSession, SendsTheConfigurationFirstThenAudioAndPaddedCommitsAfterItsConfirmation) {
    SessionTest test;
    test.server.script.confirm = false;
    test.session->connect();
    test.session->connect();           // changes nothing
    test.session->appendAudio({}, 0);  // sends nothing
    auto fed = pcm(4801, 1);
    test.session->appendAudio(fed, 1000);
    for (const auto& [t0, t1] : {std::pair{1000, 1100}, {1000, 1099}, {0, 0}}) {
        test.session->commit(t0, t1);
    }
    Pending<void> finishing(test.io, test.session->finish());
    ASSERT_TRUE(test.serverReceived(1));
    settle(test.io);
    auto& connection = test.server.lastConnection();
    EXPECT_EQ(connection.authorization, "Bearer ek_test");
    ASSERT_EQ(connection.messages.size(), 1u) << "audio must wait for the confirmation";
    EXPECT_EQ(JSONValue::parse(connection.messages[0]),
              JSONValue::parse(R"({"type":"session.update","session":{"type":"transcription",
                  "audio":{"input":{"format":{"type":"audio/pcm","rate":24000},
                  "transcription":{"model":"gpt-live-transcribe","delay":"medium","language":"de"},
                  "turn_detection":null}}}})"));
    // A repeated confirmation changes nothing.
    test.serverSends({R"({"type":"session.updated"})", R"({"type":"session.updated"})", "not json",
                      "[]", R"({"item_id":"item_1"})", R"({"type":5,"item_id":"x"})",
                      itemMessage("response.done", "x"),
                      R"({"type":"input_audio_buffer.committed"})",
                      R"({"type":"input_audio_buffer.committed","item_id":7})", committed("item_1"),
                      transcription("delta", "item_1", R"(,"delta":"partial")")});
    ASSERT_TRUE(test.serverReceived(7));
    fed.resize(fed.size() + 48 + 4800, 0);
    EXPECT_EQ(connection.appendedAudio(), fed);
    EXPECT_EQ(connection.messagesOfType("input_audio_buffer.commit").size(), 3u);
    EXPECT_EQ(JSONValue::parse(connection.messages.back()),
              JSONValue::parse(R"({"type":"input_audio_buffer.commit"})"));
    ASSERT_TRUE(test.runUntil([&] { return test.events.size() == 2; }));
    test.advance(2900ms);
    EXPECT_FALSE(finishing.done());
    test.advance(200ms);
    ASSERT_TRUE(finishing.done());
    EXPECT_EQ(test.events, (std::vector{Event::ready(), Event::delta("partial", "item_1"),
                                        Event::segment(1000, 1100, "partial")}));
    EXPECT_EQ(connection.messages.size(), 7u);
}

// Neither a failed item nor an empty commit is a failure; after the close nothing is sent or held.
TEST(RealtimeSession, FinishesOnceEveryCommitIsSettled) {
    SessionTest test;
    test.session = test.make(test.server.url(), std::nullopt);
    test.connect();
    test.session->commit(0, 2000);
    test.session->commit(2000, 4000);
    ASSERT_TRUE(test.serverReceived(3));
    EXPECT_EQ(test.server.lastConnection().messages[0].find("language"), std::string::npos);
    Pending<void> finishing(test.io, test.session->finish());
    test.serverSends({committed("item_1"), transcription("failed", "item_1")});
    settle(test.io, 20ms);
    EXPECT_FALSE(finishing.done()) << "the second commit is still due";
    test.serverSends({errorCoded(R"("input_audio_buffer_commit_empty")")});
    ASSERT_TRUE(finishing.finish());
    EXPECT_EQ(test.events, std::vector{Event::ready()});
    test.session->appendAudio(pcm(96), 9000);
    test.session->commit(9000, 9500);
    test.session->clearBuffer(9500);
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
    EXPECT_EQ(test.server.lastConnection().messages.size(), 3u);
    EXPECT_EQ(test.session->takeUntranscribed(), std::nullopt);
}

TEST(RealtimeSession, AFailureLeavesTheUntranscribedAudioToTheOwner) {
    SessionTest test;
    test.connect();
    test.session->appendAudio(pcm(48'000, 1), 0);
    test.session->commit(0, 1000);
    ASSERT_TRUE(test.serverReceived(3));
    test.serverSends({committed("item_1"), completed("item_1", "one")});
    ASSERT_TRUE(test.runUntil([&] { return test.events.size() == 2; }));
    test.session->appendAudio(pcm(4800, 2), 1000);
    // The silence before the piece in which the next stretch began is discarded.
    auto untranscribed = pcm(9600, 3);
    test.session->appendAudio(untranscribed, 1100);
    test.session->clearBuffer(1100);
    const auto spoken = pcm(9600, 4);
    untranscribed.insert(untranscribed.end(), spoken.begin(), spoken.end());
    test.session->appendAudio(spoken, 1300);
    test.session->commit(1100, 1500);  // never answered
    ASSERT_TRUE(test.serverReceived(8));
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return test.session->isClosed(); }));
    EXPECT_EQ(test.session->takeUntranscribed(), (Taken{untranscribed, 1100, 0}));
}

TEST(RealtimeSession, TheUpgradeStatusOrErrorCodeNamesTheProblemForTheUser) {
    const std::tuple<std::string, int, std::string, std::string> rows[] = {
        {"OpenAI didn't accept the transcription key", 401, "invalid_api_key",
         "invalid_authentication"},
        {"The transcription key can't use gpt-live-transcribe", 403, "model_not_found",
         "permission_denied"},
        {"OpenAI's usage limit was reached", 429, "rate_limit_exceeded", "insufficient_quota"},
        {stopped, 500, "server_error", "invalid_request_error"}};
    for (const auto& [message, status, code, otherCode] : rows) {
        EXPECT_EQ(RealtimeSession::messageFor(status, std::nullopt), message);
        EXPECT_EQ(RealtimeSession::messageFor(std::nullopt, code), message);
        EXPECT_EQ(RealtimeSession::messageFor(std::nullopt, otherCode), message);
    }
    EXPECT_EQ(RealtimeSession::messageFor(std::nullopt, std::nullopt), stopped);
}

TEST(RealtimeSession, EachWayOfFailingIsReportedOnceWithItsMessage) {
    struct Case {
        std::string message;
        std::function<void(SessionTest&)> cause;
    };
    const Case cases[] = {
        {"The transcription key can't use gpt-live-transcribe",
         [](SessionTest& test) {
             LoopbackHTTPServer refusing;
             refusing.setHandler(
                 [](const auto&) { return LoopbackHTTPServer::Reply::json(403, ""); });
             test.session = test.make("ws://127.0.0.1:" + std::to_string(refusing.port()), "de");
             // Audio waiting for a refused upgrade must not turn the refusal into a "dropped".
             test.session->appendAudio(pcm(96), 0);
             test.session->connect();
             ASSERT_TRUE(test.runUntil([&] { return test.session->isClosed(); }));
         }},
        {"OpenAI's usage limit was reached",
         [](SessionTest& test) {
             test.connect();
             test.serverSends({errorCoded(R"("rate_limit_exceeded")"), errorCoded("\"x\"")});
         }},
        {"OpenAI didn't answer in time",
         [](SessionTest& test) {
             test.server.script.confirm = false;
             test.session->connect();
             ASSERT_TRUE(test.serverReceived(1));
             test.advance(14900ms);
             EXPECT_FALSE(test.session->isClosed());
             test.advance(200ms);
         }},
        {"OpenAI took too long to accept the session",
         [](SessionTest& test) {
             test.server.script.confirm = false;
             test.session->connect();
             const auto fed = pcm(RealtimeSession::maxQueuedBytes + 2);
             test.session->appendAudio({fed.begin(), fed.end() - 2}, 0);
             EXPECT_FALSE(test.session->isClosed());
             test.session->appendAudio({fed.end() - 2, fed.end()}, 0);
             EXPECT_EQ(test.session->takeUntranscribed(), (Taken{fed, 0, 0}));
         }},
    };
    for (const auto& c : cases) {
        SessionTest test;
        c.cause(test);
        ASSERT_TRUE(test.runUntil([&] { return test.session->isClosed(); })) << c.message;
        settle(test.io, 20ms);
        EXPECT_EQ(test.events.back(), Event::failed(c.message));
        EXPECT_EQ(std::count_if(test.events.begin(), test.events.end(),
                                [](const Event& e) { return e.kind == Event::Kind::failed; }),
                  1);
    }
}

}  // namespace
}  // namespace tessarin::test
