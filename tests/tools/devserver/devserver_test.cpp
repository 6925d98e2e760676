#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "core/async/manual_clock.hpp"
#include "core/audio/wav.hpp"
#include "core/net/beast_http_transport.hpp"
#include "core/net/tls_client.hpp"
#include "core/net/web_socket_realtime_socket.hpp"
#include "devserver/dev_server_options.hpp"
#include "devserver/meeting_report.hpp"
#include "recording/realtime/realtime_endpoint.hpp"
#include "recording/realtime/realtime_session.hpp"
#include "support/audio_signals.hpp"
#include "support/loopback_notara.hpp"
#include "support/pending.hpp"

namespace tessarin {
namespace {

namespace asio = boost::asio;
using test::Pending;
using Event = RealtimeSession::Event;
using std::chrono::milliseconds;
using std::chrono::seconds;

// A square wave of ±3277 has an RMS level of exactly -20 dBFS.
std::vector<std::uint8_t> toneAt20dBFS(std::int64_t ms) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(ms * 24), 3277);
    for (std::size_t i = 1; i < samples.size(); i += 2) {
        samples[i] = -3277;
    }
    return test::bytesOf(samples);
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// The stand-in on a loopback port and the test's manual clock, with the helper's own API client
// and realtime session talking to it.
struct DevServerTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(io);
    test::LoopbackNotara notara{io, clock};
    std::shared_ptr<BeastHTTPTransport> transport =
        std::make_shared<BeastHTTPTransport>(io.get_executor(), clock);
    APIClient api = notara.client(io, clock);
    std::shared_ptr<RealtimeSocket> lastSocket;  // of the session made last
    const DevCounters& counters = notara.counters();

    template <class T>
    T run(Awaitable<T> operation) {
        return Pending<T>(io, std::move(operation)).get();
    }
    bool runUntil(const std::function<bool()>& done) { return test::runUntil(io, done); }

    // One raw exchange: status and body.
    std::pair<int, std::string> send(const std::string& method, const std::string& path,
                                     const std::string& body = "", std::string contentType = "",
                                     const std::string& token = "dev-token") {
        HTTPRequest request{.method = method,
                            .url = *URL::parse(notara.url() + path),
                            .headers = {},
                            .body = method == "POST" ? std::optional(bytesOf(body)) : std::nullopt};
        if (!token.empty()) {
            request.headers.emplace_back("Authorization", "Bearer " + token);
        }
        if (!contentType.empty()) {
            request.headers.emplace_back("Content-Type", contentType);
        }
        const auto result = run(transport->send(request));
        return {result.response.status, std::string(result.body.begin(), result.body.end())};
    }
    JSONValue control(const std::string& changes = "") {
        const auto [status, body] =
            changes.empty() ? send("GET", "/control") : send("POST", "/control", changes);
        EXPECT_EQ(status, 200) << body;
        return JSONValue::parse(body).value_or(nullptr);
    }

    std::shared_ptr<RealtimeSession> session(const TranscriptionToken& token,
                                             std::vector<Event>& events) {
        auto made = RealtimeSession::create(
            io.get_executor(), clock,
            RealtimeSession::Settings{RealtimeEndpoint::forToken(token), token.value,
                                      "gpt-live-transcribe", "en"},
            [this](RealtimeRequest request) {
                return lastSocket = WebSocketRealtimeSocket::open(
                           io.get_executor(), clock, TLSClient::makeContext(), std::move(request));
            },
            [&events](Event event) { events.push_back(std::move(event)); });
        made->connect();
        runUntil([&] { return !events.empty(); });
        return made;
    }
};

TEST_F(DevServerTest, AKeyOpensSessionsThatTranscribeEveryCommitUntilTheMomentItExpires) {
    const auto token = run(api.transcriptionToken("m/1", "mic", "en"));
    // The manual clock starts a day after the epoch; keys live five minutes.
    EXPECT_EQ(token.expiresAt, std::chrono::system_clock::time_point(std::chrono::minutes(1445)));

    std::vector<Event> events;
    auto live = session(token, events);
    live->appendAudio(std::vector<std::uint8_t>(48 * 300), 0);
    live->commit(0, 300);  // silence: transcribed as nothing
    const auto tone = toneAt20dBFS(1500);
    for (std::size_t at = 0; at < tone.size(); at += 4800) {  // 100 ms a message
        live->appendAudio({tone.begin() + at, tone.begin() + at + 4800}, 300 + at / 48);
    }
    live->commit(300, 1800);
    // The helper pads a short turn with silence to the service's minimum, exactly 100 ms.
    live->appendAudio(toneAt20dBFS(40), 1800);
    live->commit(1800, 1840);
    Pending<void> finishing(io, live->finish());
    ASSERT_TRUE(finishing.finish());
    EXPECT_EQ(events, (std::vector<Event>{Event::ready(), Event::delta("[speech 1.5 s,", "item_2"),
                                          Event::delta("[speech 1.5 s, -20 dBFS]", "item_2"),
                                          Event::segment(300, 1800, "[speech 1.5 s, -20 dBFS]"),
                                          Event::delta("[speech 0.1 s,", "item_3"),
                                          Event::delta("[speech 0.1 s, -24 dBFS]", "item_3"),
                                          Event::segment(1800, 1840, "[speech 0.1 s, -24 dBFS]")}));

    // Messages the session would never send: a commit of nothing gets the error the helper takes
    // in its stride; a message of exactly 4 MiB is read, one byte more ends the connection.
    std::vector<Event> raw;
    auto rawSession = session(token, raw);
    const auto sendPadded = [&](std::size_t size) {
        std::string message = R"({"type": "input_audio_buffer.clear"})";
        lastSocket->send(message.append(size - message.size(), ' '), [](auto) {});
    };
    sendPadded(WebSocketRealtimeSocket::maxMessageBytes);
    lastSocket->send(R"({"type": "input_audio_buffer.commit"})", [](auto) {});
    ASSERT_TRUE(runUntil([&] { return counters.commitsEmpty == 1; }));
    EXPECT_EQ(raw, std::vector<Event>{Event::ready()});
    EXPECT_EQ(std::pair(counters.commits, counters.transcripts), std::pair(4l, 3l));
    sendPadded(WebSocketRealtimeSocket::maxMessageBytes + 1);
    ASSERT_TRUE(runUntil([&] { return raw.size() == 2; }));
    EXPECT_EQ(raw[1], Event::failed("OpenAI transcription stopped"));

    // Sessions open up to the last moment of the key's life, not at it.
    for (const milliseconds wait : {std::chrono::minutes(5) - milliseconds(1), milliseconds(1)}) {
        clock->advance(wait);
        std::vector<Event> late;
        auto lateSession = session(token, late);
        EXPECT_EQ(late.at(0), wait == milliseconds(1)
                                  ? Event::failed("OpenAI didn't accept the transcription key")
                                  : Event::ready());
    }
    EXPECT_EQ(counters.upgradesRefused, 1);
}

TEST_F(DevServerTest, DropsEndSessionsAndAnOutageRefusesUpgradesForExactlyItsLength) {
    const auto token = run(api.transcriptionToken("m", "system", std::nullopt));
    std::vector<Event> dropped, during, after, timed;
    auto live = session(token, dropped);
    // The drop happens after the body's settings are applied, so it starts a 60 s outage.
    control(R"({"dropNow": true, "outageMs": 60000})");
    ASSERT_TRUE(runUntil([&] { return dropped.size() == 2; }));
    EXPECT_EQ(dropped[1], Event::failed("OpenAI transcription stopped"));
    EXPECT_EQ(control().member("switches")->member("refuseUpgradesMs")->intValue(), 60000);
    clock->advance(seconds(60) - milliseconds(1));
    auto refused = session(token, during);
    EXPECT_EQ(during.at(0).kind, Event::Kind::failed);
    clock->advance(milliseconds(1));
    auto accepted = session(token, after);
    EXPECT_EQ(after.at(0), Event::ready());
    EXPECT_EQ(std::pair(counters.connectionsDropped, counters.upgradesRefused), std::pair(1l, 1l));

    // With dropEveryMs a connection lives exactly that long.
    control(R"({"dropEveryMs": 100})");
    auto shortLived = session(token, timed);
    clock->advance(milliseconds(99));
    test::settle(io);
    EXPECT_EQ(timed, std::vector<Event>{Event::ready()});
    clock->advance(milliseconds(1));
    ASSERT_TRUE(runUntil([&] { return timed.size() == 2; }));
    EXPECT_EQ(timed[1], Event::failed("OpenAI transcription stopped"));
    EXPECT_EQ(counters.connectionsDropped, 2);
}

TEST_F(DevServerTest, AppendFaultsTokenRefusalsAndDelaysAreSwitchedThroughControl) {
    const auto append = [&] {
        return send("POST", "/api/v1/meetings/m/segments",
                    R"([{"seq":1,"startedMs":0,"endedMs":9,"speaker":"me","text":"hi"}])")
            .first;
    };
    const auto token = [&] {
        return send("POST", "/api/v1/meetings/m/transcription-token", R"({"source": "mic"})").first;
    };
    for (const int status : {503, 422}) {
        control(R"({"appendFaultShare": 1, "appendFaultStatus": )" + std::to_string(status) + "}");
        EXPECT_EQ(append(), status);
    }
    // A bad control body changes nothing.
    EXPECT_EQ(
        send("POST", "/control", R"({"appendFaultShare": 0, "appendFaultStatus": 200})").first,
        400);
    EXPECT_EQ(append(), 422);
    // Only as many token requests as asked are refused, with the 401 that makes the helper renew
    // its token. A retried append is stored once.
    control(R"({"appendFaultShare": 0, "refuseTokens": 1})");
    EXPECT_EQ((std::vector{append(), token(), token(), append()}),
              (std::vector{200, 401, 200, 200}));
    EXPECT_EQ(
        (std::vector{counters.appendsFailed, counters.segmentsStored, counters.segmentsDuplicate,
                     counters.tokensRefused, counters.tokensIssued}),
        (std::vector<std::int64_t>{3, 1, 1, 1, 1}));

    // A delay holds every answer but the control endpoint's, for exactly its length.
    control(R"({"appendFaultShare": 0, "delayMs": 20000})");
    const auto before = counters.requests;
    Pending<Me> slow(io, api.me());
    ASSERT_TRUE(runUntil([&] { return counters.requests > before; }));
    const JSONValue reset = control(R"({"resetCounters": true})");
    EXPECT_EQ(reset.member("counters")->member("requests")->intValue(), 0);
    clock->advance(seconds(20) - milliseconds(1));
    test::settle(io);
    EXPECT_FALSE(slow.done());
    clock->advance(milliseconds(1));
    EXPECT_EQ(slow.get().id, "stand-in");
}

TEST_F(DevServerTest, RequestsARealServerWouldRefuseGetItsStatusAndAnErrorBody) {
    const std::string chunkPath = "/api/v1/meetings/m/audio-chunk";
    const std::string boundary = "tess-0123456789abcdef";
    const std::string form = "multipart/form-data; boundary=" + boundary;
    const auto chunk = [&](std::string speaker, const std::string& wav) {
        const auto bytes = APIClient::audioChunkBody(boundary, bytesOf(wav), 1, 0, 1000,
                                                     Speaker::me, std::nullopt);
        std::string body(bytes.begin(), bytes.end());
        const std::string field = "name=\"speaker\"\r\n\r\n";
        return body.replace(body.find(field) + field.size(), 2, speaker);
    };
    const auto wavBytes = WAV::encode(toneAt20dBFS(1000), 24000, 1);
    const std::string wav(wavBytes.begin(), wavBytes.end());
    const std::string good = chunk("me", wav);
    const std::string eightMiB(8 * 1024 * 1024, ' ');
    const std::string segmentsPath = "/api/v1/meetings/m/segments";
    const std::string finishPath = "/api/v1/meetings/new/finish";
    struct Case {
        std::string what, path, body, contentType;
        int status;
        std::string method = "POST", token = "dev-token";
    };
    const Case cases[] = {
        {"the form as the helper sends it", chunkPath, good, form, 200},
        {"no bearer token", chunkPath, good, form, 401, "POST", ""},
        {"another bearer token", chunkPath, good, form, 401, "POST", "old-token"},
        {"not closed", chunkPath, good.substr(0, good.size() - 4), form, 400},
        {"no boundary", chunkPath, good, "multipart/form-data", 400},
        {"another kind of multipart", chunkPath, good, "multipart/mixed; boundary=" + boundary,
         400},
        {"an unknown speaker", chunkPath, chunk("it", wav), form, 400},
        {"not a WAV file", chunkPath, chunk("me", "RIFF...."), form, 400},
        {"a cut-off WAV file", chunkPath, chunk("me", wav.substr(0, wav.size() - 2)), form, 400},
        {"a WAV with a wrong RIFF size", chunkPath,
         chunk("me", std::string(wav).replace(4, 1, 1, char(wav[4] + 8))), form, 400},
        {"a field twice", chunkPath, good.substr(0, good.find("--" + boundary, 10)) + good, form,
         400},
        {"segments that are not JSON", segmentsPath, "[{", "", 400},
        {"a segment without text", segmentsPath,
         R"([{"seq":1,"startedMs":0,"endedMs":1,"speaker":"me"}])", "", 400},
        {"a body of exactly 8 MiB", finishPath, eightMiB, "", 404},
        {"a body over 8 MiB", finishPath, eightMiB + " ", "", 413},
        {"finishing a meeting never used", finishPath, "{}", "", 404},
        {"an unknown path", "/api/v1/meetings/m/delete", "{}", "", 404},
        {"a wrong method", segmentsPath, "", "", 405, "GET"},
    };
    for (const Case& c : cases) {
        const auto [status, body] = send(c.method, c.path, c.body, c.contentType, c.token);
        EXPECT_EQ(status, c.status) << c.what << ": " << body;
        EXPECT_EQ(APIClient::errorParts(bytesOf(body)).code.has_value(), status != 200) << c.what;
    }
    EXPECT_EQ(std::pair(counters.badRequests, counters.unauthorized), std::pair(10l, 2l));
}

// A client that writes its whole body before it reads gets the answer to a head refused at once:
// the body is read to its end instead of being cut off by a reset.
TEST_F(DevServerTest, ABodyRefusedAtItsHeadIsReadToItsEndAndAnswered) {
    asio::ip::tcp::socket client(io);
    client.connect({asio::ip::make_address("127.0.0.1"), URL::parse(notara.url())->port()});
    client.non_blocking(true);
    std::string request = "POST /x HTTP/1.1\r\nContent-Length: 9437184\r\n\r\n";
    const std::size_t size = request.append(9437184, ' ').size();
    std::size_t sent = 0;
    boost::system::error_code error;
    ASSERT_TRUE(runUntil([&] {
        sent += client.write_some(asio::buffer(request.data() + sent, size - sent), error);
        return sent == size || (error && error != asio::error::would_block);
    }));
    ASSERT_EQ(sent, size) << error.message();
    char answer[16] = {};
    ASSERT_TRUE(runUntil([&] { return client.read_some(asio::buffer(answer), error) > 0; }));
    EXPECT_EQ(std::string_view(answer, 13), "HTTP/1.1 413 ");
}

// Seconds become whole milliseconds, rounded.
TEST(DevServerOptions, FlagsBecomeTheSwitchesOfAControlBodyAndBadOnesAreRefused) {
    std::istringstream words(
        "--access-token other --drop-every 0.25 --outage 1.2345 --seed 5 --delay-ms 5 "
        "--refuse-tokens always --append-fault-share 0.5 --append-fault-status 422");
    const std::vector<std::string> flags{std::istream_iterator<std::string>(words), {}};
    EXPECT_EQ(DevServerOptions::parse(flags).switches.serialized(),
              R"({"accessToken":"other","appendFaultShare":0.5,"appendFaultStatus":422,)"
              R"("delayMs":5,"dropEveryMs":250,"outageMs":1235,"refuseTokens":true,"seed":5})");
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--append-fault-status", "200"}, {"--drop-every"}, {"--outage", "-1"}}) {
        EXPECT_THROW(DevServerOptions::parse(bad), std::invalid_argument) << bad[0];
    }
}

TEST(MeetingReport, PositionsAreMinutesSecondsAndTenthsPastEveryCarry) {
    const MeetingStore::Meeting meeting{
        "m",
        "C",
        "F",
        {{1, 59'900, 60'000, Speaker::me, "one"}, {2, 3'599'900, 3'600'000, Speaker::them, "two"}}};
    EXPECT_EQ(MeetingReport::text(meeting),
              "meeting m: finished at F (started C), 2 segments\n"
              "  #1  0:59.9-1:00.0  me  one\n"
              "  #2  59:59.9-60:00.0  them  two\n");
}

}  // namespace
}  // namespace tessarin
