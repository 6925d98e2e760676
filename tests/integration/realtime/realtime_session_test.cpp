#include "recording/realtime/realtime_session.hpp"

#include <gtest/gtest.h>

#include "core/async/task.hpp"
#include "integration/realtime/realtime_harness.hpp"

namespace tessarin::test {
namespace {

using Event = RealtimeSession::Event;
using Security = RealtimeTestServer::Security;

struct SessionTest : RealtimeHarness {
    explicit SessionTest(Security security = Security::plain) : RealtimeHarness(security) {}

    std::vector<Event> events;

    std::shared_ptr<RealtimeSession> makeSession(std::optional<std::string> language = "de",
                                                 double finalWait = 3.0) {
        RealtimeSession::Settings settings{server.url(), "ek_test", "gpt-live-transcribe",
                                           std::move(language), finalWait};
        return std::make_shared<RealtimeSession>(io.get_executor(), clock, settings, liveSockets(),
                                                 [this](Event event) { events.push_back(event); });
    }

    std::shared_ptr<RealtimeSession> connectedSession() {
        auto session = makeSession();
        session->connect();
        EXPECT_TRUE(runUntil([&] { return session->isReady(); }));
        return session;
    }

    std::vector<Event> eventsOfKind(Event::Kind kind) const {
        std::vector<Event> found;
        for (const auto& event : events) {
            if (event.kind == kind) {
                found.push_back(event);
            }
        }
        return found;
    }

    std::vector<Event> segments() const { return eventsOfKind(Event::Kind::segment); }
    std::vector<Event> failures() const { return eventsOfKind(Event::Kind::failed); }

    // Sends the service's messages on the last connection.
    void serverSends(std::initializer_list<JSONValue> messages) {
        for (const auto& message : messages) {
            server.lastConnection().sendJSON(message);
        }
    }

    Task<> startFinish(const std::shared_ptr<RealtimeSession>& session) {
        return Task<>::spawn(io.get_executor(), "test",
                             [session]() -> Awaitable<void> { co_await session->finish(); });
    }
};

JSONValue committed(const std::string& item) {
    return JSONValue::object({{"type", "input_audio_buffer.committed"}, {"item_id", item}});
}
JSONValue completed(const std::string& item, JSONValue transcript) {
    return JSONValue::object({{"type", "conversation.item.input_audio_transcription.completed"},
                              {"item_id", item},
                              {"transcript", std::move(transcript)}});
}
JSONValue delta(const std::string& item, const std::string& text) {
    return JSONValue::object({{"type", "conversation.item.input_audio_transcription.delta"},
                              {"item_id", item},
                              {"delta", text}});
}
JSONValue errorEvent(JSONValue code) {
    JSONValue::Object error{{"message", "x"}};
    if (!code.isNull()) {
        error.emplace("code", std::move(code));
    }
    return JSONValue::object({{"type", "error"}, {"error", JSONValue(std::move(error))}});
}

TEST(RealtimeSession, SendsTheConfigurationWithTheKeyInTheUpgrade) {
    for (const std::optional<std::string>& language :
         {std::optional<std::string>("de"), std::optional<std::string>()}) {
        SessionTest test;
        auto session = test.makeSession(language);
        session->connect();
        ASSERT_TRUE(test.runUntil([&] { return session->isReady(); }));
        auto& connection = test.server.lastConnection();
        EXPECT_EQ(connection.authorization, "Bearer ek_test");
        EXPECT_EQ(connection.target, "/v1/realtime?intent=transcription");
        ASSERT_EQ(connection.messages.size(), 1u);
        JSONValue::Object transcription{{"model", "gpt-live-transcribe"}, {"delay", "medium"}};
        if (language) {
            transcription.emplace("language", *language);
        }
        const JSONValue expected = JSONValue::object(
            {{"type", "session.update"},
             {"session",
              JSONValue::object(
                  {{"type", "transcription"},
                   {"audio",
                    JSONValue::object(
                        {{"input",
                          JSONValue::object({{"format", JSONValue::object({{"type", "audio/pcm"},
                                                                           {"rate", 24000}})},
                                             {"transcription", JSONValue(transcription)},
                                             {"turn_detection", nullptr}})}})}})}});
        EXPECT_EQ(JSONValue::parse(connection.messages[0]), expected);
        EXPECT_EQ(test.eventsOfKind(Event::Kind::ready).size(), 1u);
    }
}

TEST(RealtimeSession, AudioSentBeforeConfirmationArrivesInOrderAfterIt) {
    SessionTest test;
    test.server.script.confirm = false;
    auto session = test.makeSession();
    session->connect();
    std::vector<std::uint8_t> fed;
    for (std::uint8_t piece = 0; piece < 5; ++piece) {
        auto pcm = patternPCM(4800 + piece, piece);
        fed.insert(fed.end(), pcm.begin(), pcm.end());
        session->send(RealtimeSession::audioAppend(pcm), pcm.size());
    }
    ASSERT_TRUE(test.runUntil([&] {
        return test.server.connectionCount() == 1 &&
               test.server.lastConnection().messages.size() == 1;
    }));
    settle(test.io);
    auto& connection = test.server.lastConnection();
    EXPECT_EQ(connection.messages.size(), 1u) << "audio must wait for the confirmation";

    connection.sendJSON(JSONValue::object({{"type", "session.updated"}}));
    ASSERT_TRUE(test.runUntil([&] { return connection.messages.size() == 6; }));
    EXPECT_EQ(connection.appendedAudio(), fed);
    // Later audio goes straight out, after the queued audio.
    auto later = patternPCM(96, 9);
    session->send(RealtimeSession::audioAppend(later), later.size());
    fed.insert(fed.end(), later.begin(), later.end());
    ASSERT_TRUE(test.runUntil([&] { return connection.messages.size() == 7; }));
    EXPECT_EQ(connection.appendedAudio(), fed);
    // A repeated confirmation changes nothing.
    connection.sendJSON(JSONValue::object({{"type", "session.updated"}}));
    settle(test.io);
    EXPECT_EQ(test.eventsOfKind(Event::Kind::ready).size(), 1u);
}

TEST(RealtimeSession, ShortCommitsArePaddedToTheServiceMinimum) {
    struct Case {
        std::int64_t t0, t1;
        std::size_t paddingBytes;
    };
    for (const Case& c :
         {Case{0, 40, 2880}, Case{1000, 1099, 48}, Case{0, 100, 0}, Case{0, 0, 4800}}) {
        SessionTest test;
        auto session = test.connectedSession();
        auto pcm = patternPCM(480);
        session->send(RealtimeSession::audioAppend(pcm), pcm.size());
        session->commit(c.t0, c.t1);
        auto& connection = test.server.lastConnection();
        const std::size_t expectedMessages = c.paddingBytes ? 4 : 3;
        ASSERT_TRUE(test.runUntil([&] { return connection.messages.size() == expectedMessages; }));
        std::vector<std::string> types{"session.update", "input_audio_buffer.append"};
        if (c.paddingBytes) {
            types.push_back("input_audio_buffer.append");
        }
        types.push_back("input_audio_buffer.commit");
        EXPECT_EQ(connection.types(), types) << c.t0 << ".." << c.t1;
        auto audio = connection.appendedAudio();
        ASSERT_EQ(audio.size(), pcm.size() + c.paddingBytes);
        EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), audio.begin()));
        EXPECT_TRUE(std::all_of(audio.begin() + 480, audio.end(), [](auto b) { return b == 0; }));
        EXPECT_EQ(JSONValue::parse(connection.messages.back()),
                  JSONValue::object({{"type", "input_audio_buffer.commit"}}));
    }
}

TEST(RealtimeSession, ReportsItemsAsTheyCompleteEvenOutOfOrderAndFinishesWhenAllAreIn) {
    SessionTest test;
    test.server.script.acknowledgeCommits = true;
    auto session = test.connectedSession();
    session->commit(0, 2000);
    session->commit(2000, 5000);
    auto& connection = test.server.lastConnection();
    ASSERT_TRUE(test.runUntil([&] { return connection.messages.size() == 3; }));
    test.serverSends({delta("item_2", "second"), completed("item_2", "  second \n turn  ")});
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    EXPECT_EQ(test.segments()[0], Event::segment(2000, 5000, "second turn"));
    EXPECT_EQ(test.eventsOfKind(Event::Kind::delta)[0], Event::delta("second", "item_2"));

    auto finishing = test.startFinish(session);
    test.clock->runReady();
    EXPECT_FALSE(finishing.done());
    test.serverSends({completed("item_1", "first"), completed("item_1", "again")});
    ASSERT_TRUE(test.runUntil([&] { return finishing.done(); }));
    ASSERT_EQ(test.segments().size(), 2u);
    EXPECT_EQ(test.segments()[1], Event::segment(0, 2000, "first"));
    EXPECT_TRUE(session->isClosed());
    ASSERT_TRUE(test.runUntil([&] { return connection.ended; }));
    EXPECT_EQ(connection.closeCode, 1000);
}

TEST(RealtimeSession, BlankFailedAndEmptyCommitsCountAsReportedWithoutASegment) {
    SessionTest test;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    session->commit(1000, 2000);
    session->commit(2000, 3000);
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().messages.size() == 4; }));
    auto finishing = test.startFinish(session);
    test.serverSends(
        {committed("item_1"), completed("item_1", " \n\t "), committed("item_2"),
         JSONValue::object({{"type", "conversation.item.input_audio_transcription.failed"},
                            {"item_id", "item_2"}})});
    settle(test.io, std::chrono::milliseconds(20));
    EXPECT_FALSE(finishing.done()) << "the third commit is still due";
    test.serverSends({errorEvent("input_audio_buffer_commit_empty")});
    ASSERT_TRUE(test.runUntil([&] { return finishing.done(); }));
    EXPECT_TRUE(test.segments().empty());
    EXPECT_TRUE(test.failures().empty());
}

TEST(RealtimeSession, FinishWithNothingCommittedReturnsAtOnce) {
    SessionTest test;
    auto session = test.connectedSession();
    auto finishing = test.startFinish(session);
    test.clock->runReady();
    EXPECT_TRUE(finishing.done());
    EXPECT_TRUE(session->isClosed());
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().closeCode.has_value(); }));
    EXPECT_EQ(test.server.lastConnection().closeCode, 1000);
}

TEST(RealtimeSession, FinalWaitReportsPartialTextOfItemsStillOpen) {
    SessionTest test;
    auto session = test.connectedSession();
    session->commit(0, 1500);
    session->commit(1500, 3000);
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().messages.size() == 3; }));
    // item_b is mentioned first (a delta before any commit answer) and gets the oldest range.
    test.serverSends({delta("item_b", "hello"), delta("item_b", " there"), committed("item_b"),
                      delta("item_c", "never finished")});
    ASSERT_TRUE(test.runUntil([&] { return test.eventsOfKind(Event::Kind::delta).size() == 3; }));
    EXPECT_EQ(test.eventsOfKind(Event::Kind::delta)[1], Event::delta("hello there", "item_b"));

    auto finishing = test.startFinish(session);
    test.advance(2.9);
    EXPECT_FALSE(finishing.done());
    test.advance(0.2);
    EXPECT_TRUE(finishing.done());
    // item_b had its own range; item_c takes the remaining pending commit.
    ASSERT_EQ(test.segments().size(), 2u);
    EXPECT_EQ(test.segments()[0], Event::segment(0, 1500, "hello there"));
    EXPECT_EQ(test.segments()[1], Event::segment(1500, 3000, "never finished"));
    EXPECT_TRUE(test.failures().empty());
}

TEST(RealtimeSession, AFinishBeganBeforeTheConfirmationStillEndsAfterTheFinalWait) {
    SessionTest test;
    test.server.script.confirm = false;
    test.server.script.acknowledgeCommits = true;
    auto session = test.makeSession();
    session->connect();
    session->send(RealtimeSession::audioAppend(patternPCM(4800)), 4800);
    session->commit(0, 100);
    auto finishing = test.startFinish(session);
    ASSERT_TRUE(test.runUntil([&] { return test.server.connectionCount() == 1; }));
    test.server.lastConnection().sendJSON(JSONValue::object({{"type", "session.updated"}}));
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().messages.size() == 3; }));
    EXPECT_FALSE(finishing.done());
    test.advance(3.1);
    EXPECT_TRUE(finishing.done());
    EXPECT_TRUE(test.failures().empty());
}

TEST(RealtimeSession, ServiceErrorsAndRefusedUpgradesMapToUserMessages) {
    struct Case {
        std::optional<int> refuseStatus;
        JSONValue code;  // null: no error event, the upgrade is refused
        std::string message;
    };
    const std::vector<Case> cases{
        {401, nullptr, "OpenAI didn't accept the transcription key"},
        {403, nullptr, "The transcription key can't use gpt-live-transcribe"},
        {429, nullptr, "OpenAI's usage limit was reached"},
        {500, nullptr, "OpenAI transcription stopped"},
        {std::nullopt, "invalid_api_key", "OpenAI didn't accept the transcription key"},
        {std::nullopt, "invalid_authentication", "OpenAI didn't accept the transcription key"},
        {std::nullopt, "model_not_found", "The transcription key can't use gpt-live-transcribe"},
        {std::nullopt, "permission_denied", "The transcription key can't use gpt-live-transcribe"},
        {std::nullopt, "rate_limit_exceeded", "OpenAI's usage limit was reached"},
        {std::nullopt, "insufficient_quota", "OpenAI's usage limit was reached"},
        {std::nullopt, "server_error", "OpenAI transcription stopped"},
        {std::nullopt, 42, "OpenAI transcription stopped"},
    };
    for (const auto& c : cases) {
        SessionTest test;
        test.server.script.refuseStatus = c.refuseStatus;
        auto session = test.makeSession();
        // Audio waiting for the refused upgrade must not turn the refusal into a "dropped".
        session->send(RealtimeSession::audioAppend(patternPCM(96)), 96);
        session->connect();
        if (!c.refuseStatus) {
            ASSERT_TRUE(test.runUntil([&] { return session->isReady(); }));
            test.serverSends({errorEvent(c.code), errorEvent("insufficient_quota")});
        }
        ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
        settle(test.io, std::chrono::milliseconds(20));
        ASSERT_EQ(test.failures().size(), 1u) << c.message;
        EXPECT_EQ(test.failures()[0], Event::failed(c.message));
    }
}

TEST(RealtimeSession, AnErrorWithoutACodeFailsTheSession) {
    SessionTest test;
    auto session = test.connectedSession();
    test.serverSends({JSONValue::object({{"type", "error"}})});
    ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
    EXPECT_EQ(test.failures(), std::vector{Event::failed("OpenAI transcription stopped")});
}

TEST(RealtimeSession, WatchdogFailsASessionTheServiceNeverConfirms) {
    SessionTest test;
    test.server.script.confirm = false;
    auto session = test.makeSession();
    session->connect();
    ASSERT_TRUE(test.runUntil([&] { return test.server.connectionCount() == 1; }));
    test.advance(14.9);
    EXPECT_TRUE(test.failures().empty());
    test.advance(0.2);
    EXPECT_EQ(test.failures(), std::vector{Event::failed("OpenAI didn't answer in time")});
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
}

TEST(RealtimeSession, ConfirmationDisarmsTheWatchdog) {
    SessionTest test;
    auto session = test.connectedSession();
    test.advance(60);
    EXPECT_TRUE(test.failures().empty());
    EXPECT_FALSE(session->isClosed());
}

TEST(RealtimeSession, TooMuchAudioBeforeConfirmationFailsTheSession) {
    SessionTest test;
    test.server.script.confirm = false;
    auto session = test.makeSession();
    session->connect();
    const auto second = patternPCM(48000);
    for (int i = 0; i < 65; ++i) {  // 65 s = 3 120 000 bytes, just under 3 MiB
        session->send(RealtimeSession::audioAppend(second), second.size());
    }
    EXPECT_TRUE(test.failures().empty());
    session->send(RealtimeSession::audioAppend(second), second.size());
    EXPECT_EQ(test.failures(),
              std::vector{Event::failed("OpenAI took too long to accept the session")});
    EXPECT_TRUE(session->isClosed());
}

TEST(RealtimeSession, IgnoresMessagesItCannotUse) {
    SessionTest test;
    test.server.script.acknowledgeCommits = true;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    auto& connection = test.server.lastConnection();
    connection.sendText("not json");
    connection.sendText("[1,2]");
    connection.sendText(R"({"item_id":"item_1"})");
    connection.sendText(R"({"type":7,"item_id":"item_1"})");
    connection.sendText(R"({"type":"response.created"})");
    connection.sendText(R"({"type":"conversation.item.input_audio_transcription.completed"})");
    // A binary frame is read as UTF-8, ill-formed bytes replaced.
    connection.sendBinary(
        "{\"type\":\"conversation.item.input_audio_transcription.completed\",\"item_id\":\"item_"
        "1\","
        "\"transcript\":\"caf\xc3\xa9 \xff ok\"}");
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    EXPECT_EQ(test.segments()[0], Event::segment(0, 1000, "caf\xc3\xa9 \xef\xbf\xbd ok"));
    EXPECT_TRUE(test.failures().empty());
}

TEST(RealtimeSession, AFloodOfDeltasIsCappedAndTheSessionGoesOn) {
    SessionTest test;
    test.server.script.acknowledgeCommits = true;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    const std::string piece(1000, 'w');
    for (int i = 0; i < 200; ++i) {
        test.server.lastConnection().sendJSON(delta("item_1", piece));
    }
    test.serverSends({completed("item_1", "done")});
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    const auto deltas = test.eventsOfKind(Event::Kind::delta);
    EXPECT_EQ(deltas.size(), RealtimeItems::maxTextBytes / piece.size());
    EXPECT_EQ(deltas.back().text.size(), deltas.size() * piece.size());
    EXPECT_EQ(test.segments()[0], Event::segment(0, 1000, "done"));
}

TEST(RealtimeSession, AFailedWriteFailsTheSessionAsDropped) {
    SessionTest test;
    auto session = test.connectedSession();
    // Without the executor running nothing is written; past the socket's bound writes fail.
    const auto second = patternPCM(48000);
    for (int i = 0; i < 200; ++i) {
        session->send(RealtimeSession::audioAppend(second), second.size());
    }
    ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
    EXPECT_EQ(test.failures(), std::vector{Event::failed("The connection to OpenAI dropped")});
}

TEST(RealtimeSession, ConnectionEndsAreReportedAsStopped) {
    enum class How { drop, closeFrame, oversizedFrame };
    for (How how : {How::drop, How::closeFrame, How::oversizedFrame}) {
        SessionTest test;
        auto session = test.connectedSession();
        auto& connection = test.server.lastConnection();
        switch (how) {
            case How::drop:
                connection.drop();
                break;
            case How::closeFrame:
                connection.closeNormally();
                break;
            case How::oversizedFrame:
                connection.sendText(std::string(WebSocketRealtimeSocket::maxMessageBytes + 1, ' '));
                break;
        }
        ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
        EXPECT_EQ(test.failures(), std::vector{Event::failed("OpenAI transcription stopped")});
    }
}

TEST(RealtimeSession, AMessageOfExactlyTheLimitIsRead) {
    SessionTest test;
    test.server.script.acknowledgeCommits = true;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    const std::string head =
        R"({"type":"conversation.item.input_audio_transcription.completed","item_id":"item_1","transcript":"x)";
    std::string message =
        head + std::string(WebSocketRealtimeSocket::maxMessageBytes - head.size() - 2, 'y') + "\"}";
    ASSERT_EQ(message.size(), WebSocketRealtimeSocket::maxMessageBytes);
    test.server.lastConnection().sendText(message);
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    // The item's text is capped; the session goes on.
    EXPECT_EQ(test.segments()[0].text.size(), RealtimeItems::maxTextBytes);
    EXPECT_FALSE(session->isClosed());
}

TEST(RealtimeSession, ASocketFailingDuringFinishEndsTheFinishWithoutAFailure) {
    SessionTest test;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().messages.size() == 2; }));
    auto finishing = test.startFinish(session);
    test.clock->runReady();
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return finishing.done(); }));
    EXPECT_TRUE(test.failures().empty());
    EXPECT_TRUE(session->isClosed());
}

TEST(RealtimeSession, NothingIsReportedAfterClose) {
    SessionTest test;
    test.server.script.acknowledgeCommits = true;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().messages.size() == 2; }));
    auto& connection = test.server.lastConnection();
    session->close();
    connection.sendJSON(completed("item_1", "late"));
    connection.sendJSON(errorEvent("insufficient_quota"));
    session->send(RealtimeSession::audioAppend(patternPCM(96)), 96);
    session->commit(1000, 2000);
    ASSERT_TRUE(test.runUntil([&] { return connection.ended; }));
    settle(test.io, std::chrono::milliseconds(20));
    EXPECT_EQ(test.events, std::vector{Event::ready()});
    EXPECT_EQ(connection.closeCode, 1000);
    EXPECT_EQ(connection.messages.size(), 2u);
}

TEST(RealtimeSession, ReleasingASessionWhileItConnectsClosesTheConnection) {
    for (bool afterUpgrade : {false, true}) {
        SessionTest test;
        test.server.script.confirm = false;
        {
            auto session = test.makeSession();
            session->connect();
            session->send(RealtimeSession::audioAppend(patternPCM(96)), 96);
            if (afterUpgrade) {  // the client has the upgrade's answer once it sends
                ASSERT_TRUE(test.runUntil([&] {
                    return test.server.connectionCount() == 1 &&
                           test.server.lastConnection().messages.size() == 1;
                }));
            }
        }
        settle(test.io, std::chrono::milliseconds(20));
        for (std::size_t i = 0; i < test.server.connectionCount(); ++i) {
            EXPECT_TRUE(test.runUntil([&] { return test.server.connection(i).ended; }));
            EXPECT_EQ(test.server.connection(i).closeCode, 1000);
        }
        test.advance(20);  // the watchdog of the released session does nothing
        EXPECT_TRUE(test.events.empty());
    }
}

TEST(RealtimeSession, WorksOverTLSAndRefusesAnUntrustedServer) {
    {
        SessionTest test(Security::tls);
        test.server.script.acknowledgeCommits = true;
        auto session = test.connectedSession();
        session->commit(0, 1000);
        ASSERT_TRUE(
            test.runUntil([&] { return test.server.lastConnection().messages.size() == 2; }));
        test.serverSends({completed("item_1", "secure")});
        ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
        EXPECT_EQ(test.server.lastConnection().authorization, "Bearer ek_test");
    }
    {
        SessionTest test(Security::untrustedTLS);
        auto session = test.makeSession();
        session->connect();
        ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
        EXPECT_EQ(test.failures(), std::vector{Event::failed("OpenAI transcription stopped")});
        EXPECT_EQ(test.server.upgradeCount(), 0u) << "the key must not reach an untrusted server";
    }
}

}  // namespace
}  // namespace tessarin::test
