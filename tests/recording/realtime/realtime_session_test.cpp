#include "recording/realtime/realtime_session.hpp"

#include <gtest/gtest.h>

#include <variant>

#include "core/async/task.hpp"
#include "support/realtime_harness.hpp"

namespace tessarin::test {
namespace {

using Event = RealtimeSession::Event;
using Security = RealtimeTestServer::Security;

struct SessionTest : RealtimeHarness {
    using RealtimeHarness::RealtimeHarness;

    std::vector<Event> events;

    std::shared_ptr<RealtimeSession> makeSession(std::optional<std::string> language = "de") {
        RealtimeSession::Settings settings{server.url(), "ek_test", "gpt-live-transcribe",
                                           std::move(language)};
        return keep(RealtimeSession::create(io.get_executor(), clock, settings, liveSockets(),
                                            [this](Event event) { events.push_back(event); }));
    }

    std::shared_ptr<RealtimeSession> connectedSession() {
        auto session = makeSession();
        session->connect();
        EXPECT_TRUE(runUntil([&] { return session->isReady(); }));
        return session;
    }

    std::vector<Event> eventsOfKind(Event::Kind kind) const {
        std::vector<Event> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                     [kind](const Event& event) { return event.kind == kind; });
        return found;
    }
    std::vector<Event> segments() const { return eventsOfKind(Event::Kind::segment); }
    std::vector<Event> failures() const { return eventsOfKind(Event::Kind::failed); }

    // Sends the service's messages (JSON text) on the last connection.
    void serverSends(std::initializer_list<std::string> messages) {
        for (const auto& message : messages) {
            server.lastConnection().sendText(message);
        }
    }
    bool serverReceived(std::size_t count) {
        return runUntil([&] {
            return server.connectionCount() > 0 && server.lastConnection().messages.size() >= count;
        });
    }

    Task<> startFinish(const std::shared_ptr<RealtimeSession>& session) {
        return Task<>::spawn(io.get_executor(), "test",
                             [session]() -> Awaitable<void> { co_await session->finish(); });
    }
};

std::string committed(const std::string& item) {
    return R"({"type":"input_audio_buffer.committed","item_id":")" + item + "\"}";
}
std::string completed(const std::string& item, const std::string& transcript) {
    return R"({"type":"conversation.item.input_audio_transcription.completed","item_id":")" + item +
           R"(","transcript":")" + transcript + "\"}";
}
std::string delta(const std::string& item, const std::string& text) {
    return R"({"type":"conversation.item.input_audio_transcription.delta","item_id":")" + item +
           R"(","delta":")" + text + "\"}";
}
std::string transcriptionFailed(const std::string& item) {
    return R"({"type":"conversation.item.input_audio_transcription.failed","item_id":")" + item +
           "\"}";
}
std::string errorCoded(const std::string& code) {
    return R"({"type":"error","error":{"message":"x","code":)" + code + "}}";
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
        const std::string languageMember = language ? R"(,"language":"de")" : "";
        EXPECT_EQ(JSONValue::parse(connection.messages[0]),
                  JSONValue::parse(R"({"type":"session.update","session":{"type":"transcription",
                      "audio":{"input":{"format":{"type":"audio/pcm","rate":24000},
                      "transcription":{"model":"gpt-live-transcribe","delay":"medium")" +
                                   languageMember + R"(},"turn_detection":null}}}})"));
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
        session->appendAudio(std::move(pcm), piece * 100);
    }
    ASSERT_TRUE(test.serverReceived(1));
    settle(test.io);
    auto& connection = test.server.lastConnection();
    EXPECT_EQ(connection.messages.size(), 1u) << "audio must wait for the confirmation";

    test.serverSends({R"({"type":"session.updated"})"});
    ASSERT_TRUE(test.serverReceived(6));
    // Later audio goes straight out, after the queued audio.
    auto later = patternPCM(96, 9);
    fed.insert(fed.end(), later.begin(), later.end());
    session->appendAudio(std::move(later), 500);
    ASSERT_TRUE(test.serverReceived(7));
    EXPECT_EQ(connection.appendedAudio(), fed);
    // A repeated confirmation changes nothing.
    test.serverSends({R"({"type":"session.updated"})"});
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
        session->appendAudio(pcm, c.t0);
        session->commit(c.t0, c.t1);
        const std::size_t expectedMessages = c.paddingBytes ? 4 : 3;
        ASSERT_TRUE(test.serverReceived(expectedMessages));
        auto& connection = test.server.lastConnection();
        std::vector<std::string> types{"session.update", "input_audio_buffer.append"};
        if (c.paddingBytes) {
            types.push_back("input_audio_buffer.append");
        }
        types.push_back("input_audio_buffer.commit");
        EXPECT_EQ(connection.types(), types) << c.t0 << ".." << c.t1;
        pcm.resize(pcm.size() + c.paddingBytes, 0);
        EXPECT_EQ(connection.appendedAudio(), pcm);
    }
}

TEST(RealtimeSession, ReportsWhatTheServiceSaysAndFinishesWhenEveryCommitIsSettled) {
    SessionTest test;
    auto session = test.connectedSession();
    for (std::int64_t t0 : {0, 2000, 5000, 7000}) {
        session->commit(t0, t0 + 2000);
    }
    ASSERT_TRUE(test.serverReceived(5));
    test.serverSends({committed("item_1"), delta("item_2", "sec"), committed("item_2"),
                      completed("item_2", "  second \\n turn  ")});
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    EXPECT_EQ(test.events[1], Event::delta("sec", "item_2"));
    EXPECT_EQ(test.segments()[0], Event::segment(2000, 4000, "second turn"));

    auto finishing = test.startFinish(session);
    test.serverSends({completed("item_1", "first"), completed("item_1", "again"),
                      transcriptionFailed("item_3"), committed("item_3")});
    settle(test.io, 20ms);
    EXPECT_FALSE(finishing.done()) << "the fourth commit is still due";
    test.serverSends({errorCoded(R"("input_audio_buffer_commit_empty")")});
    ASSERT_TRUE(test.runUntil([&] { return finishing.done(); }));
    EXPECT_EQ(test.segments(), (std::vector{Event::segment(2000, 4000, "second turn"),
                                            Event::segment(0, 2000, "first")}));
    EXPECT_TRUE(test.failures().empty());
    EXPECT_EQ(session->takeUntranscribed(), std::nullopt);
    ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
    EXPECT_EQ(test.server.lastConnection().closeCode, 1000);
}

TEST(RealtimeSession, FinishWithNothingCommittedReturnsAtOnce) {
    SessionTest test;
    auto session = test.connectedSession();
    auto finishing = test.startFinish(session);
    test.clock->runReady();
    EXPECT_TRUE(finishing.done());
    EXPECT_TRUE(session->isClosed());
}

TEST(RealtimeSession, TheFinalWaitReportsPartialTextAlsoForAFinishBeforeTheConfirmation) {
    for (const bool finishFirst : {false, true}) {
        SessionTest test;
        test.server.script.confirm = false;
        auto session = test.makeSession();
        session->connect();
        session->commit(0, 1000);
        Task<> finishing;
        if (finishFirst) {
            finishing = test.startFinish(session);
        }
        ASSERT_TRUE(test.serverReceived(1));
        test.serverSends(
            {R"({"type":"session.updated"})", committed("item_1"), delta("item_1", "partial")});
        ASSERT_TRUE(test.runUntil([&] { return test.events.size() == 2; }));
        if (!finishFirst) {
            finishing = test.startFinish(session);
        }
        test.advance(2900ms);
        EXPECT_FALSE(finishing.done());
        test.advance(200ms);
        ASSERT_TRUE(finishing.done());
        EXPECT_EQ(test.segments(), std::vector{Event::segment(0, 1000, "partial")});
    }
}

TEST(RealtimeSession, AFailureLeavesTheUntranscribedAudioToTheOwner) {
    SessionTest test;
    auto session = test.connectedSession();
    session->appendAudio(patternPCM(48'000, 1), 0);
    session->commit(0, 1000);
    ASSERT_TRUE(test.serverReceived(3));
    test.serverSends({committed("item_1"), completed("item_1", "one")});
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    session->appendAudio(patternPCM(4800, 2), 1000);
    // The silence before the piece in which the next stretch began is discarded.
    auto untranscribed = patternPCM(9600, 3);
    session->appendAudio(untranscribed, 1100);
    session->clearBuffer(1100);
    const auto spoken = patternPCM(9600, 4);
    untranscribed.insert(untranscribed.end(), spoken.begin(), spoken.end());
    session->appendAudio(spoken, 1300);
    session->commit(1100, 1500);  // never answered
    ASSERT_TRUE(test.serverReceived(8));
    test.server.lastConnection().drop();
    ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
    EXPECT_EQ(session->takeUntranscribed(), (OutageBuffer::Taken{untranscribed, 1100, 0}));
}

TEST(RealtimeSession, ServiceErrorsAndRefusedUpgradesMapToUserMessages) {
    const std::string keyRefused = "OpenAI didn't accept the transcription key";
    const std::string modelRefused = "The transcription key can't use gpt-live-transcribe";
    const std::string usageLimit = "OpenAI's usage limit was reached";
    const std::string stopped = "OpenAI transcription stopped";
    const std::vector<std::pair<std::variant<int, std::string>, std::string>> cases{
        {401, keyRefused},
        {403, modelRefused},
        {429, usageLimit},
        {500, stopped},
        {errorCoded(R"("invalid_api_key")"), keyRefused},
        {errorCoded(R"("invalid_authentication")"), keyRefused},
        {errorCoded(R"("model_not_found")"), modelRefused},
        {errorCoded(R"("permission_denied")"), modelRefused},
        {errorCoded(R"("rate_limit_exceeded")"), usageLimit},
        {errorCoded(R"("insufficient_quota")"), usageLimit},
        {errorCoded(R"("server_error")"), stopped},
        {errorCoded("42"), stopped},
        {std::string(R"({"type":"error"})"), stopped},
    };
    for (const auto& [cause, message] : cases) {
        SessionTest test;
        if (const int* status = std::get_if<int>(&cause)) {
            test.server.script.refuseStatus = *status;
        }
        auto session = test.makeSession();
        // Audio waiting for a refused upgrade must not turn the refusal into a "dropped".
        session->appendAudio(patternPCM(96), 0);
        session->connect();
        if (const std::string* error = std::get_if<std::string>(&cause)) {
            ASSERT_TRUE(test.runUntil([&] { return session->isReady(); }));
            test.serverSends({*error, errorCoded(R"("insufficient_quota")")});
        }
        ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
        settle(test.io, 20ms);
        EXPECT_EQ(test.failures(), std::vector{Event::failed(message)}) << message;
    }
}

TEST(RealtimeSession, TheConnectTimeoutFailsOnlyASessionTheServiceNeverConfirms) {
    for (const bool confirm : {false, true}) {
        SessionTest test;
        test.server.script.confirm = confirm;
        auto session = test.makeSession();
        session->connect();
        ASSERT_TRUE(test.serverReceived(1));
        test.advance(14900ms);
        EXPECT_TRUE(test.failures().empty());
        test.advance(200ms);
        EXPECT_EQ(session->isClosed(), !confirm);
        if (!confirm) {
            EXPECT_EQ(test.failures(), std::vector{Event::failed("OpenAI didn't answer in time")});
            ASSERT_TRUE(test.runUntil([&] { return test.server.lastConnection().ended; }));
        }
    }
}

TEST(RealtimeSession, TooMuchAudioBeforeConfirmationFailsTheSessionButKeepsTheAudio) {
    SessionTest test;
    test.server.script.confirm = false;
    auto session = test.makeSession();
    session->connect();
    std::vector<std::uint8_t> fed;
    for (int i = 0; i < 66; ++i) {  // 65 s = 3 120 000 bytes, just under 3 MiB
        EXPECT_TRUE(test.failures().empty()) << i;
        const auto second = patternPCM(48000, static_cast<std::uint8_t>(i));
        fed.insert(fed.end(), second.begin(), second.end());
        session->appendAudio(second, i * 1000);
    }
    EXPECT_EQ(test.failures(),
              std::vector{Event::failed("OpenAI took too long to accept the session")});
    EXPECT_TRUE(session->isClosed());
    EXPECT_EQ(session->takeUntranscribed(), (OutageBuffer::Taken{fed, 0, 0}));
}

TEST(RealtimeSession, IgnoresMessagesItCannotUse) {
    SessionTest test;
    test.server.script.acknowledgeCommits = true;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    test.serverSends({"not json", "[1,2]", R"({"item_id":"item_1"})",
                      R"({"type":7,"item_id":"item_1"})", R"({"type":"response.created"})",
                      R"({"type":"conversation.item.input_audio_transcription.completed"})"});
    // A binary frame is read as UTF-8, ill-formed bytes replaced.
    test.server.lastConnection().sendBinary(completed("item_1", "caf\xc3\xa9 \xff ok"));
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    EXPECT_EQ(test.segments()[0], Event::segment(0, 1000, "caf\xc3\xa9 \xef\xbf\xbd ok"));
    EXPECT_TRUE(test.failures().empty());
}

TEST(RealtimeSession, AFailedWriteFailsTheSessionAsDropped) {
    SessionTest test;
    auto session = test.connectedSession();
    // Without the executor running nothing is written; past the socket's bound writes fail.
    for (int i = 0; i < 200; ++i) {
        session->appendAudio(patternPCM(48000), i * 1000);
    }
    ASSERT_TRUE(test.runUntil([&] { return session->isClosed(); }));
    EXPECT_EQ(test.failures(), std::vector{Event::failed("The connection to OpenAI dropped")});
}

TEST(RealtimeSession, ConnectionEndsAreReportedAsStopped) {
    enum class How { drop, closeFrame, oversizedFrame, silence };
    for (How how : {How::drop, How::closeFrame, How::oversizedFrame, How::silence}) {
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
                connection.sendText(std::string(4 * 1024 * 1024 + 1, ' '));
                break;
            case How::silence:
                connection.goSilent();
                test.advance(30s);
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
    const std::string head = completed("item_1", "x");
    std::string message = head.substr(0, head.size() - 2);
    message.resize(4 * 1024 * 1024 - 2, 'y');
    message += "\"}";
    test.server.lastConnection().sendText(message);
    ASSERT_TRUE(test.runUntil([&] { return test.segments().size() == 1; }));
    EXPECT_FALSE(session->isClosed());
}

TEST(RealtimeSession, NothingIsReportedAfterClose) {
    SessionTest test;
    test.server.script.acknowledgeCommits = true;
    auto session = test.connectedSession();
    session->commit(0, 1000);
    ASSERT_TRUE(test.serverReceived(2));
    auto& connection = test.server.lastConnection();
    session->close();
    test.serverSends({completed("item_1", "late"), errorCoded(R"("insufficient_quota")")});
    session->appendAudio(patternPCM(96), 0);
    session->commit(1000, 2000);
    ASSERT_TRUE(test.runUntil([&] { return connection.ended; }));
    settle(test.io, 20ms);
    EXPECT_EQ(test.events, std::vector{Event::ready()});
    EXPECT_EQ(connection.closeCode, 1000);
    EXPECT_EQ(connection.messages.size(), 2u);
}

TEST(RealtimeSession, WorksOverTLSAndRefusesAnUntrustedServer) {
    {
        SessionTest test(Security::tls);
        test.server.script.acknowledgeCommits = true;
        auto session = test.connectedSession();
        session->commit(0, 1000);
        ASSERT_TRUE(test.serverReceived(2));
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
