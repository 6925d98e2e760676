#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json/json_value.hpp"
#include "support/audio_signals.hpp"
#include "support/child_process.hpp"

namespace tessarin::test {
namespace {

const std::filesystem::path binaries = std::filesystem::path(TESSARIN_HELPER_BINARY).parent_path();

std::filesystem::path temporary(const std::string& name) {
    return std::filesystem::temp_directory_path() /
           ("recording-process-" + std::to_string(::getpid()) + "-" + name);
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<JSONValue> segmentsIn(const std::vector<std::string>& lines) {
    std::vector<JSONValue> segments;
    for (const auto& line : lines) {
        auto value = JSONValue::parse(line);
        if (value && value->member("event") &&
            value->member("event")->stringValue() == "transcript.segment") {
            segments.push_back(*value);
        }
    }
    return segments;
}

// The real helper binary with scripted capture records two speakers into the devserver.
struct RecordingProcessTest : testing::Test {
    std::filesystem::path database = temporary("meetings.db");
    std::filesystem::path micPCM = temporary("mic.pcm");
    std::filesystem::path systemPCM = temporary("system.pcm");
    std::unique_ptr<ChildProcess> devserver;
    std::string baseURL;

    RecordingProcessTest() {
        std::filesystem::remove(database);
        // Two turns of the user, then one of the other side, at other levels and lengths, so that
        // the stand-in's descriptions of them differ.
        writeFile(micPCM, Timeline().speech(1500).quiet(1000).speech(1000).quiet(1000).bytes());
        writeFile(systemPCM, bytesOf([] {
                      Timeline timeline;
                      timeline.quiet(4500);
                      timeline.add(speechSamples(2000 * 24, 9, 2000));
                      return timeline.quiet(1000).samples;
                  }()));
        devserver = std::make_unique<ChildProcess>((binaries / "tessarin-devserver").string(),
                                                   std::vector<std::string>{"--db", database});
        const auto ready = devserver->readLines(1);
        const auto parsed = ready.empty() ? std::nullopt : JSONValue::parse(ready[0]);
        if (!parsed) {
            throw std::runtime_error("no devserver: " + devserver->errorOutput());
        }
        baseURL = *parsed->member("url")->stringValue();
    }
    ~RecordingProcessTest() override {
        devserver->signal(SIGINT);
        devserver->wait();
        for (const auto& path : {database, micPCM, systemPCM}) {
            std::filesystem::remove(path);
        }
    }

    // The meeting as the devserver stored it.
    JSONValue meeting(const std::string& id) {
        ChildProcess show((binaries / "tessarin-devserver").string(),
                          {"--show", id, "--db", database, "--json"});
        const auto lines = show.readLines(1);
        show.wait();
        return lines.empty() ? JSONValue() : JSONValue::parse(lines[0]).value_or(JSONValue());
    }
};

TEST_F(RecordingProcessTest, BothSidesAreSavedAndTheMeetingFinishedByStopOrByTheExit) {
    for (const bool byStop : {true, false}) {
        const std::string id = byStop ? "stopped" : "exited";
        ChildProcess helper((binaries / "tessarin-helper-scripted").string(), {},
                            {.environment = {{"TESSARIN_TEST_MIC_PCM", micPCM},
                                             {"TESSARIN_TEST_SYSTEM_PCM", systemPCM}}});
        helper.write(R"({"id":1,"cmd":"record.start","params":{"meetingId":")" + id +
                     R"(","apiBase":")" + baseURL + R"(","accessToken":"dev-token"}})" + "\n");
        std::vector<std::string> lines;
        // The other side's turn is transcribed live; the user's wait in the echo check.
        for (int i = 0; i < 400 && segmentsIn(lines).empty(); ++i) {
            auto more = helper.readLines(1, std::chrono::milliseconds(50));
            lines.insert(lines.end(), more.begin(), more.end());
        }
        ASSERT_EQ(segmentsIn(lines).size(), 1u) << helper.errorOutput();
        if (byStop) {
            helper.write(R"({"id":2,"cmd":"record.stop"})"
                         "\n");
        }
        helper.closeInput();
        ASSERT_EQ(helper.wait(std::chrono::seconds(30)), 0) << helper.errorOutput();
        const auto rest = helper.remainingLines();
        lines.insert(lines.end(), rest.begin(), rest.end());
        EXPECT_EQ(segmentsIn(lines).size(), 3u);
        if (byStop) {
            EXPECT_NE(std::find(lines.begin(), lines.end(),
                                R"({"id":2,"ok":true,"result":{"finished":true,"segments":3}})"),
                      lines.end());
        }
        EXPECT_NE(helper.errorOutput().find("recording stopped (3 segments"), std::string::npos);

        const JSONValue stored = meeting(id);
        ASSERT_TRUE(stored.member("segments")) << id;
        const auto& segments = *stored.member("segments")->arrayValue();
        ASSERT_EQ(segments.size(), 3u);
        std::vector<std::string> speakers;
        for (const auto& segment : segments) {
            speakers.push_back(*segment.member("speaker")->stringValue());
        }
        std::sort(speakers.begin(), speakers.end());
        EXPECT_EQ(speakers, (std::vector<std::string>{"me", "me", "them"}));
        EXPECT_TRUE(stored.member("finishedAt") && !stored.member("finishedAt")->isNull()) << id;
    }
}

}  // namespace
}  // namespace tessarin::test
