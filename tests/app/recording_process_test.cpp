#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json/json_value.hpp"
#include "support/audio_signals.hpp"
#include "support/child_process.hpp"

namespace tessarin::test {
namespace {

// The helper with scripted capture records two speakers into the devserver, and the end of its
// input in the middle of the recording saves everything and finishes the meeting before it exits.
TEST(RecordingProcess, TheEndOfInputDuringARecordingSavesBothSidesAndFinishesTheMeeting) {
    const auto binaries = std::filesystem::path(TESSARIN_HELPER_BINARY).parent_path();
    const std::string prefix = std::filesystem::temp_directory_path() /
                               ("recording-process-" + std::to_string(::getpid()));
    const std::string database = prefix + ".db", mic = prefix + "-mic", system = prefix + "-system";
    // Two turns of the user, then one of the other side at another level and length, so that the
    // stand-in's descriptions of them differ.
    for (const auto& [path, timeline] :
         {std::pair{mic, Timeline().speech(1500).quiet(1000).speech(1000).quiet(1000)},
          std::pair{system,
                    Timeline().quiet(4500).add(speechSamples(48000, 9, 2000)).quiet(1000)}}) {
        const auto bytes = timeline.bytes();
        std::ofstream(path).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    std::filesystem::remove(database);
    ChildProcess devserver(binaries / "tessarin-devserver", {"--db", database});
    const auto ready = JSONValue::parse(devserver.readLines(1).at(0)).value();
    ChildProcess helper("/usr/bin/env",
                        {"TESSARIN_TEST_MIC_PCM=" + mic, "TESSARIN_TEST_SYSTEM_PCM=" + system,
                         binaries / "tessarin-helper-scripted"});
    helper.write(R"({"id":1,"cmd":"record.start","params":{"meetingId":"m","apiBase":")" +
                 *ready.member("url")->stringValue() + R"(","accessToken":"dev-token"}})" + "\n");
    // The other side's turn is transcribed live; the user's wait in the echo check.
    const auto segment = [](const std::string& line) {
        return line.find(R"("event":"transcript.segment")") != std::string::npos;
    };
    std::vector<std::string> lines;
    while (std::none_of(lines.begin(), lines.end(), segment) && lines.size() < 1000) {
        const auto more = helper.readLines(1);
        ASSERT_EQ(more.size(), 1u) << helper.errorOutput();
        lines.push_back(more[0]);
    }
    helper.closeInput();
    ASSERT_EQ(helper.wait(std::chrono::seconds(30)), 0) << helper.errorOutput();
    for (const auto& line : helper.remainingLines()) {
        lines.push_back(line);
    }
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), segment), 3);
    EXPECT_NE(helper.errorOutput().find("recording stopped (3 segments"), std::string::npos);

    ChildProcess show(binaries / "tessarin-devserver", {"--show", "m", "--db", database, "--json"});
    ASSERT_EQ(show.wait(), 0);
    const JSONValue stored = JSONValue::parse(show.remainingLines().at(0)).value();
    std::multiset<std::string> speakers;
    for (const auto& segment : *stored.member("segments")->arrayValue()) {
        speakers.insert(*segment.member("speaker")->stringValue());
    }
    EXPECT_EQ(speakers, (std::multiset<std::string>{"me", "me", "them"}));
    EXPECT_EQ(stored.member("finished")->boolValue(), true);
    kill(devserver.pid(), SIGINT);
    EXPECT_EQ(devserver.wait(), 0);
    for (const auto& path : {database, mic, system}) {
        std::filesystem::remove(path);
    }
}

}  // namespace
}  // namespace tessarin::test
