#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/api/access_token_auth_provider.hpp"
#include "core/api/api_client.hpp"
#include "core/api/api_error.hpp"
#include "core/api/auth_error.hpp"
#include "core/api/transcript_coding.hpp"
#include "core/async/manual_clock.hpp"
#include "core/audio/wav.hpp"
#include "core/json/json_value.hpp"
#include "core/net/beast_http_transport.hpp"
#include "core/net/tls_client.hpp"
#include "core/net/web_socket_realtime_socket.hpp"
#include "recording/realtime/realtime_endpoint.hpp"
#include "recording/realtime/realtime_session.hpp"
#include "support/audio_signals.hpp"
#include "support/child_process.hpp"
#include "support/pending.hpp"

namespace tessarin {
namespace {

using test::Pending;
using Event = RealtimeSession::Event;

const std::string devserverBinary =
    (std::filesystem::path(TESSARIN_HELPER_BINARY).parent_path() / "tessarin-devserver").string();

// A square wave of ±3277 has an RMS level of exactly -20 dBFS.
std::vector<std::uint8_t> toneAt20dBFS(std::int64_t ms) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(ms * 24));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = i % 2 == 0 ? 3277 : -3277;
    }
    return test::bytesOf(samples);
}

std::string textOf(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The built devserver as a child process on a fresh database, with the helper's own API client
// and realtime session talking to it.
struct DevServerTest : testing::Test {
    std::filesystem::path database =
        std::filesystem::temp_directory_path() /
        ("devserver-test-" + std::to_string(::getpid()) + "-" +
         testing::UnitTest::GetInstance()->current_test_info()->name() + ".db");
    std::unique_ptr<test::ChildProcess> server;
    std::string baseURL;
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    std::shared_ptr<BeastHTTPTransport> transport =
        std::make_shared<BeastHTTPTransport>(io.get_executor(), clock);

    DevServerTest() {
        std::filesystem::remove(database);
        start({});
    }
    void start(std::vector<std::string> flags) {
        flags.insert(flags.begin(), {"--db", database.string()});
        server = std::make_unique<test::ChildProcess>(devserverBinary, flags);
        stopped = false;
        const auto lines = server->readLines(1);
        const auto ready = lines.empty() ? std::nullopt : JSONValue::parse(lines[0]);
        if (!ready || ready->member("event")->stringValue() != "ready") {
            throw std::runtime_error("the devserver did not start: " + server->errorOutput());
        }
        baseURL = *ready->member("url")->stringValue();
    }
    // Every run ends as a person would end it (Ctrl-C), with connections still open: cleanly.
    ~DevServerTest() override {
        stopServer();
        std::filesystem::remove(database);
    }
    void stopServer() {
        if (!stopped) {
            stopped = true;
            server->signal(SIGINT);
            EXPECT_EQ(server->wait(), 0) << server->errorOutput();
        }
    }
    bool stopped = false;

    APIClient client(const std::string& token = "dev-token") {
        return APIClient(std::make_shared<AccessTokenAuthProvider>(*URL::parse(baseURL), token),
                         transport);
    }

    template <class T>
    T run(Awaitable<T> operation) {
        Pending<T> pending(io, std::move(operation));
        return pending.get();
    }
    template <class Error, class T>
    std::optional<Error> failureOf(Awaitable<T> operation) {
        Pending<T> pending(io, std::move(operation));
        return test::failure<Error>(pending);
    }

    // One raw exchange: status and body.
    std::pair<int, std::string> send(const std::string& method, const std::string& path,
                                     std::string body = "", std::string contentType = "",
                                     std::string token = "dev-token") {
        HTTPRequest request;
        request.method = method;
        request.url = *URL::parse(baseURL + path);
        if (!token.empty()) {
            request.headers.emplace_back("Authorization", "Bearer " + token);
        }
        if (!contentType.empty()) {
            request.headers.emplace_back("Content-Type", contentType);
        }
        if (method == "POST") {
            request.body = bytesOf(body);
        }
        const auto result = run(transport->send(request));
        return {result.response.status, textOf(result.body)};
    }

    JSONValue control(const std::string& changes = "") {
        const auto [status, body] =
            changes.empty() ? send("GET", "/control") : send("POST", "/control", changes);
        EXPECT_EQ(status, 200) << body;
        return JSONValue::parse(body).value_or(nullptr);
    }
    std::int64_t counter(const char* name) { return counters({name}).at(0); }
    std::vector<std::int64_t> counters(std::initializer_list<const char*> names) {
        const JSONValue all = *control().member("counters");
        std::vector<std::int64_t> values;
        for (const char* name : names) {
            values.push_back(all.member(name)->intValue().value_or(-1));
        }
        return values;
    }

    // Stops the server and runs --show on what it left.
    std::pair<std::optional<int>, std::string> showAfterExit(const std::vector<std::string>& args) {
        stopServer();
        std::vector<std::string> arguments{"--db", database.string()};
        arguments.insert(arguments.end(), args.begin(), args.end());
        test::ChildProcess show(devserverBinary, arguments);
        const auto status = show.wait();
        std::string output;
        for (const auto& line : show.remainingLines()) {
            output += line + "\n";
        }
        return {status, output};
    }

    // The socket of the session made last, for messages the session itself would never send.
    std::shared_ptr<RealtimeSocket> lastSocket;

    std::shared_ptr<RealtimeSession> session(const TranscriptionToken& token,
                                             std::vector<Event>& events) {
        RealtimeSession::Settings settings{RealtimeEndpoint::forToken(token), token.value,
                                           "gpt-live-transcribe", "en", std::chrono::seconds(3)};
        auto made = RealtimeSession::create(
            io.get_executor(), clock, settings,
            [this](RealtimeRequest request) {
                lastSocket = WebSocketRealtimeSocket::open(
                    io.get_executor(), clock, TLSClient::makeContext(), std::move(request));
                return lastSocket;
            },
            [&events](Event event) { events.push_back(std::move(event)); });
        made->connect();
        return made;
    }
    bool runUntil(const std::function<bool()>& done) { return test::runUntil(io, done); }
};

TEST_F(DevServerTest, ATokenOpensARealtimeSessionThatTranscribesEveryCommit) {
    const auto token = run(client().transcriptionToken("m/1", "mic", "en"));
    EXPECT_EQ(RealtimeEndpoint::forToken(token),
              "ws" + baseURL.substr(4) + "/v1/realtime?intent=transcription");
    const auto lifetime = token.expiresAt - std::chrono::system_clock::now();
    EXPECT_GT(lifetime, std::chrono::seconds(290));
    EXPECT_LE(lifetime, std::chrono::seconds(300));

    std::vector<Event> events;
    auto live = session(token, events);
    ASSERT_TRUE(runUntil([&] { return live->isReady(); }));
    live->appendAudio(std::vector<std::uint8_t>(48 * 300), 0);
    live->commit(0, 300);  // silence: transcribed as nothing
    const auto tone = toneAt20dBFS(1500);
    for (std::size_t at = 0; at < tone.size(); at += 4800) {  // 100 ms a message
        const auto piece = std::span(tone).subspan(at, 4800);
        live->appendAudio({piece.begin(), piece.end()}, 300 + static_cast<std::int64_t>(at / 48));
    }
    live->commit(300, 1800);
    // The helper pads a short turn to the service's 100 ms minimum with silence.
    live->appendAudio(toneAt20dBFS(40), 1800);
    live->commit(1800, 1840);
    Pending<void> finishing(io, live->finish());
    ASSERT_TRUE(finishing.finish());
    EXPECT_EQ(std::vector<Event>(events.begin(), events.begin() + 4),
              (std::vector<Event>{Event::ready(), Event::delta("[speech 1.5 s,", "item_2"),
                                  Event::delta("[speech 1.5 s, -20 dBFS]", "item_2"),
                                  Event::segment(300, 1800, "[speech 1.5 s, -20 dBFS]")}));
    EXPECT_EQ(events.back(), Event::segment(1800, 1840, "[speech 0.1 s, -24 dBFS]"));

    // A commit of nothing gets the error the helper takes in its stride, not one that ends it.
    std::vector<Event> second;
    auto empty = session(token, second);
    ASSERT_TRUE(runUntil([&] { return empty->isReady(); }));
    lastSocket->send(R"({"type": "input_audio_buffer.commit"})", [](auto) {});
    ASSERT_TRUE(runUntil([&] { return counter("commitsEmpty") == 1; }));
    test::settle(io);
    EXPECT_EQ(second, std::vector<Event>{Event::ready()});
    EXPECT_EQ(counters({"commits", "transcripts"}), (std::vector<std::int64_t>{4, 3}));

    // An expired key is refused at the upgrade.
    control(R"({"tokenLifetimeMs": 0})");
    std::vector<Event> refused;
    auto expired = session(run(client().transcriptionToken("m/1", "mic", "en")), refused);
    ASSERT_TRUE(runUntil([&] { return !refused.empty(); }));
    EXPECT_EQ(refused[0], Event::failed("OpenAI didn't accept the transcription key"));
    EXPECT_EQ(counter("upgradesRefused"), 1);
}

TEST_F(DevServerTest, DroppedConnectionsAndRefusedUpgradesAreSwitchedThroughControl) {
    const auto token = run(client().transcriptionToken("m", "system", std::nullopt));
    std::vector<Event> events;
    auto live = session(token, events);
    ASSERT_TRUE(runUntil([&] { return live->isReady(); }));
    // The drop happens after the body's settings are applied, so it starts a 60 s outage.
    control(R"({"dropNow": true, "outageMs": 60000})");
    ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events[1], Event::failed("OpenAI transcription stopped"));

    std::vector<Event> again;
    auto retry = session(token, again);
    ASSERT_TRUE(runUntil([&] { return !again.empty(); }));
    EXPECT_EQ(again[0].kind, Event::Kind::failed);
    EXPECT_EQ(counters({"connectionsDropped", "upgradesRefused"}),
              (std::vector<std::int64_t>{1, 1}));
    EXPECT_GT(control().member("switches")->member("refuseUpgradesMs")->intValue(), 50000);

    // Connections that live a set time, and one that sends a message over 4 MiB, end on their own.
    control(R"({"refuseUpgradesMs": 0, "outageMs": 0, "dropEveryMs": 100})");
    std::vector<Event> brief;
    auto shortLived = session(token, brief);
    ASSERT_TRUE(runUntil([&] { return brief.size() == 2; }));
    EXPECT_EQ(brief[1], Event::failed("OpenAI transcription stopped"));
    EXPECT_EQ(counter("connectionsDropped"), 2);
    control(R"({"dropEveryMs": 0})");
    std::vector<Event> flooding;
    auto flood = session(token, flooding);
    ASSERT_TRUE(runUntil([&] { return flood->isReady(); }));
    flood->appendAudio(std::vector<std::uint8_t>(3'200'000), 0);
    ASSERT_TRUE(runUntil([&] { return flooding.size() == 2; }));
    EXPECT_EQ(flooding[1].kind, Event::Kind::failed);
    EXPECT_EQ(counter("connectionsDropped"), 2);
}

TEST_F(DevServerTest, AppendsAreStoredOncePerSeqAndShownAfterTheServerExited) {
    const auto segment = [](std::int64_t seq, Speaker speaker, std::string text) {
        return Segment{seq, seq * 1000, seq * 1000 + 900, speaker, std::move(text)};
    };
    run(client().appendSegments(
        "m-1", {segment(3, Speaker::them, "three"), segment(1, Speaker::me, "one")}));
    // A retried batch: seq 1 again (even with other text) is not stored twice.
    run(client().appendSegments(
        "m-1", {segment(1, Speaker::me, "one again"), segment(2, Speaker::them, "two")}));
    run(client().finish("m-1"));
    run(client().appendSegments("other", {segment(1, Speaker::me, "elsewhere")}));
    EXPECT_EQ(
        counters({"appendsReceived", "segmentsReceived", "segmentsStored", "segmentsDuplicate"}),
        (std::vector<std::int64_t>{3, 5, 4, 1}));

    const auto [status, shown] = showAfterExit({"--show", "m-1", "--json"});
    EXPECT_EQ(status, 0);
    const auto report = JSONValue::parse(shown);
    ASSERT_TRUE(report) << shown;
    EXPECT_EQ(report->member("finished")->boolValue(), true);
    EXPECT_EQ(*report->member("segments"),
              JSONValue::array({TranscriptCoding::encode(segment(1, Speaker::me, "one")),
                                TranscriptCoding::encode(segment(2, Speaker::them, "two")),
                                TranscriptCoding::encode(segment(3, Speaker::them, "three"))}));

    test::ChildProcess text(devserverBinary, {"--db", database.string(), "--show", "m-1"});
    EXPECT_EQ(text.wait(), 0);
    const auto lines = text.remainingLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].starts_with("meeting m-1: finished at ")) << lines[0];
    EXPECT_EQ(lines[1], "  #1  0:01.0-0:01.9  me  one");
    EXPECT_EQ(lines[3], "  #3  0:03.0-0:03.9  them  three");
    test::ChildProcess unknown(devserverBinary, {"--db", database.string(), "--show", "m-2"});
    EXPECT_EQ(unknown.wait(), 1);
}

TEST_F(DevServerTest, AppendFaultsAndTokenRefusalsAreSwitchedThroughControl) {
    const std::vector<Segment> batch{{1, 0, 900, Speaker::me, "hello"}};
    control(R"({"appendFaultShare": 1, "appendFaultStatus": 503})");
    EXPECT_EQ(failureOf<APIError>(client().appendSegments("m", batch)).value().status(), 503);
    control(R"({"appendFaultStatus": 422})");
    EXPECT_EQ(failureOf<APIError>(client().appendSegments("m", batch)).value().status(), 422);
    // A bad control body changes nothing.
    EXPECT_EQ(
        send("POST", "/control", R"({"appendFaultShare": 0, "appendFaultStatus": 200})").first,
        400);
    EXPECT_TRUE(failureOf<APIError>(client().appendSegments("m", batch)));
    control(R"({"appendFaultShare": 0, "refuseTokens": 1})");
    run(client().appendSegments("m", batch));

    // The next token request only is refused, with the 401 that makes the helper renew its token.
    EXPECT_TRUE(failureOf<AuthError>(client().transcriptionToken("m", "mic", std::nullopt)));
    run(client().transcriptionToken("m", "mic", std::nullopt));
    EXPECT_EQ(counters({"appendsFailed", "segmentsStored", "tokensRefused", "tokensIssued"}),
              (std::vector<std::int64_t>{3, 1, 1, 1}));

    // A share of failures is drawn from the seed, so a run repeats.
    const auto failuresAfterSeeding = [&] {
        control(R"({"seed": 7, "appendFaultShare": 0.5})");
        std::string pattern;
        for (int i = 0; i < 12; ++i) {
            pattern += failureOf<APIError>(client().appendSegments("m", batch)) ? 'x' : '.';
        }
        return pattern;
    };
    const std::string pattern = failuresAfterSeeding();
    EXPECT_EQ(failuresAfterSeeding(), pattern);
    EXPECT_NE(pattern.find('x'), std::string::npos);
    EXPECT_NE(pattern.find('.'), std::string::npos);

    // A delay holds every answer but the control endpoint's.
    control(R"({"appendFaultShare": 0, "delayMs": 60000})");
    const APIClient api = client();
    Pending<Me> slow(io, api.me());
    test::settle(io, std::chrono::milliseconds(200));  // it reaches the server before the reset
    EXPECT_EQ(control(R"({"delayMs": 0, "resetCounters": true})")
                  .member("counters")
                  ->member("appendsReceived")
                  ->intValue(),
              0);
    EXPECT_FALSE(slow.done());
    EXPECT_EQ(run(client().me()).id, "stand-in");
}

TEST_F(DevServerTest, ChunkUploadsAreTranscribedUnlessSilent) {
    const auto wav = WAV::encode(toneAt20dBFS(2000), 24000, 1);
    const auto stored = run(client().appendAudioChunk("m", wav, 7, 100, 2100, Speaker::them, "en"));
    EXPECT_EQ(stored, (Segment{7, 100, 2100, Speaker::them, "[speech 2.0 s, -20 dBFS]"}));
    const auto quiet = WAV::encode(test::bytesOf(test::quietSamples(24000)), 24000, 1);
    EXPECT_EQ(run(client().appendAudioChunk("m", quiet, 8, 2100, 3100, Speaker::me, {})),
              std::nullopt);
    EXPECT_EQ(counters({"chunksReceived", "chunksTranscribed"}), (std::vector<std::int64_t>{2, 1}));
}

TEST_F(DevServerTest, RequestsARealServerWouldRefuseGetItsStatusAndAnErrorBody) {
    const std::string chunkPath = "/api/v1/meetings/m/audio-chunk";
    const std::string boundary = "tess-0123456789abcdef";
    const std::string form = "multipart/form-data; boundary=" + boundary;
    const auto chunk = [&](std::string speaker, const std::string& wav) {
        std::string body = textOf(APIClient::audioChunkBody(boundary, bytesOf(wav), 1, 0, 1000,
                                                            Speaker::me, std::nullopt));
        const std::string field = "name=\"speaker\"\r\n\r\n";
        return body.replace(body.find(field) + field.size(), 2, speaker);
    };
    const std::string wav = textOf(WAV::encode(toneAt20dBFS(1000), 24000, 1));
    const std::string good = chunk("me", wav);
    const std::string eightMiB(8 * 1024 * 1024, ' ');
    struct Case {
        std::string what, method, path, body, contentType, token;
        int status;
    };
    const std::vector<Case> cases{
        {"the form as the helper sends it", "POST", chunkPath, good, form, "dev-token", 200},
        {"no bearer token", "POST", chunkPath, good, form, "", 401},
        {"another bearer token", "POST", chunkPath, good, form, "old-token", 401},
        {"not closed", "POST", chunkPath, good.substr(0, good.size() - 4), form, "dev-token", 400},
        {"no boundary", "POST", chunkPath, good, "multipart/form-data", "dev-token", 400},
        {"another kind of multipart", "POST", chunkPath, good,
         "multipart/mixed; boundary=" + boundary, "dev-token", 400},
        {"an unknown speaker", "POST", chunkPath, chunk("it", wav), form, "dev-token", 400},
        {"not a WAV file", "POST", chunkPath, chunk("me", "RIFF...."), form, "dev-token", 400},
        {"a cut-off WAV file", "POST", chunkPath, chunk("me", wav.substr(0, wav.size() - 2)), form,
         "dev-token", 400},
        {"a WAV with a wrong RIFF size", "POST", chunkPath,
         chunk("me", std::string(wav).replace(4, 1, 1, static_cast<char>(wav[4] + 8))), form,
         "dev-token", 400},
        {"a field twice", "POST", chunkPath, good.substr(0, good.find("--" + boundary, 10)) + good,
         form, "dev-token", 400},
        {"segments that are not JSON", "POST", "/api/v1/meetings/m/segments", "[{", "", "dev-token",
         400},
        {"a segment without text", "POST", "/api/v1/meetings/m/segments",
         R"([{"seq":1,"startedMs":0,"endedMs":1,"speaker":"me"}])", "", "dev-token", 400},
        {"a body of exactly 8 MiB", "POST", "/api/v1/meetings/new/finish", eightMiB, "",
         "dev-token", 404},
        {"a body over 8 MiB", "POST", "/api/v1/meetings/new/finish", eightMiB + " ", "",
         "dev-token", 413},
        {"finishing a meeting never used", "POST", "/api/v1/meetings/new/finish", "{}", "",
         "dev-token", 404},
        {"an unknown path", "POST", "/api/v1/meetings/m/delete", "{}", "", "dev-token", 404},
        {"a wrong method", "GET", "/api/v1/meetings/m/segments", "", "", "dev-token", 405},
    };
    for (const Case& c : cases) {
        const auto [status, body] = send(c.method, c.path, c.body, c.contentType, c.token);
        EXPECT_EQ(status, c.status) << c.what << ": " << body;
        if (status != 200) {
            EXPECT_TRUE(APIClient::errorParts(bytesOf(body)).code) << c.what << ": " << body;
        }
    }
    EXPECT_EQ(counters({"badRequests", "unauthorized"}), (std::vector<std::int64_t>{10, 2}));
}

TEST_F(DevServerTest, FaultSwitchesCanBeSetOnTheCommandLine) {
    stopServer();
    start({"--access-token", "other", "--drop-every", "0.25", "--refuse-tokens", "always",
           "--append-fault-share", "1", "--append-fault-status", "422", "--delay-ms", "5"});
    const JSONValue switches = *control().member("switches");
    EXPECT_EQ(switches.member("accessToken")->stringValue(), "other");
    EXPECT_EQ(switches.member("dropEveryMs")->intValue(), 250);
    EXPECT_EQ(switches.member("refuseTokens")->boolValue(), true);
    EXPECT_EQ(switches.member("appendFaultShare")->numberValue(), 1.0);
    EXPECT_EQ(switches.member("appendFaultStatus")->intValue(), 422);
    EXPECT_EQ(switches.member("delayMs")->intValue(), 5);
    stopServer();
    // Stopped the moment it says it is ready, it still ends cleanly.
    for (int attempt = 0; attempt < 5; ++attempt) {
        test::ChildProcess quick(devserverBinary, {"--db", database.string()});
        quick.readLines(1);
        quick.signal(SIGINT);
        EXPECT_EQ(quick.wait(), 0);
    }
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {"--append-fault-status", "200"}, {"--drop-every"}}) {
        test::ChildProcess refused(devserverBinary, wrong);
        EXPECT_EQ(refused.wait(), 2);
    }
}

}  // namespace
}  // namespace tessarin
