#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "recording/calls/call_apps.hpp"
#include "recording/calls/call_detector.hpp"
#include "recording/calls/call_watcher.hpp"
#include "server_fixture.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;

CallApp zoom{"us.zoom.xos", "Zoom"};
CallApp faceTime{"com.apple.FaceTime", "FaceTime"};
CallApp chrome{"com.google.Chrome", "Google Chrome"};

TEST(CallAppsMatch, IdentifiersMapToTheirApplication) {
    struct Case {
        const char* identifier;
        std::optional<std::string> app;
    };
    const Case cases[] = {
        {"us.zoom.xos", "us.zoom.xos"},
        {"us.zoom.ZoomAudioDevice", "us.zoom.xos"},
        {"us.zoom", "us.zoom.xos"},
        {"us.zoomer", std::nullopt},
        {"COM.GOOGLE.CHROME", "com.google.Chrome"},
        {"com.google.Chrome.helper", "com.google.Chrome"},
        {"com.microsoft.teams2", "com.microsoft.teams2"},
        {"com.microsoft.teams", "com.microsoft.teams2"},
        {"com.microsoft.teams2.helper", "com.microsoft.teams2"},
        {"com.microsoft.teamsx", std::nullopt},
        {"com.apple.WebKit.GPU", "com.apple.Safari"},
        {"com.apple.avconferenced", "com.apple.FaceTime"},
        {"com.webex.meetingmanager", "Cisco-Systems.Spark"},
        {"org.mozilla.plugincontainer", "org.mozilla.firefox"},
        {"com.tessarin.desktop", std::nullopt},
        {"com.tessarin.desktop.helper", std::nullopt},
        {"COM.TESSARIN.DESKTOP.helper", std::nullopt},
        {"", std::nullopt},
        {"org.example.recorder", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto app = CallApps::match(c.identifier);
        EXPECT_EQ(app ? std::optional<std::string>(app->bundleID) : std::nullopt, c.app)
            << c.identifier;
    }
    EXPECT_EQ(CallApps::table().size(), 12u);
}

// Polls a detector once per second with the apps seen at each second, collecting the events by
// time.
std::vector<std::string> runTimeline(const std::vector<std::set<CallApp>>& seenAt,
                                     double debounce = 3.0) {
    CallDetector detector(debounce);
    std::vector<std::string> events;
    const auto start = std::chrono::system_clock::time_point(std::chrono::seconds(1000));
    for (std::size_t t = 0; t < seenAt.size(); ++t) {
        for (const auto& event : detector.update(seenAt[t], start + std::chrono::seconds(t))) {
            events.push_back((event.kind == CallEvent::Kind::started ? "started " : "ended ") +
                             event.app.name + " @" + std::to_string(t));
        }
    }
    return events;
}

TEST(CallDetectorDebounce, ChangesAreReportedOnlyAfterTheDebounceInBothDirections) {
    const std::set<CallApp> none, z{zoom}, zf{zoom, faceTime};
    struct Case {
        const char* name;
        std::vector<std::set<CallApp>> timeline;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"starts when seen for the whole debounce", {z, z, z, z}, {"started Zoom @3"}},
        {"a missed poll restarts the wait", {z, z, none, z, z, z, z}, {"started Zoom @6"}},
        {"ends once unseen for the debounce since last seen",
         {z, z, z, z, none, none, none, none},
         {"started Zoom @3", "ended Zoom @6"}},
        {"a gap shorter than the debounce keeps the call",
         {z, z, z, z, none, none, z, none, none},
         {"started Zoom @3"}},
        {"after ending, the app must be seen for the whole debounce again",
         {z, z, z, z, none, none, none, z, z, z, z},
         {"started Zoom @3", "ended Zoom @6", "started Zoom @10"}},
        {"same poll reports in identifier order",
         {zf, zf, zf, zf, none, none, none, none},
         {"started FaceTime @3", "started Zoom @3", "ended FaceTime @6", "ended Zoom @6"}},
        {"starts come before ends in one poll",
         {z, z, z, z, zf, {faceTime}, {faceTime}, {faceTime}},
         {"started Zoom @3", "started FaceTime @7", "ended Zoom @7"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runTimeline(c.timeline), c.expected) << c.name;
    }
}

TEST(CallDetectorDebounce, ResetForgetsEverythingWithoutEvents) {
    CallDetector detector(3.0);
    const auto t0 = std::chrono::system_clock::time_point(std::chrono::seconds(1000));
    for (int t = 0; t <= 3; ++t) {
        detector.update({zoom}, t0 + std::chrono::seconds(t));
    }
    EXPECT_EQ(detector.activeApps(), std::set<CallApp>{zoom});
    detector.reset();
    EXPECT_TRUE(detector.activeApps().empty());
    EXPECT_TRUE(detector.update({}, t0 + std::chrono::seconds(100)).empty());
}

TEST(CallWatcherPoll, IgnoresItselfAndFoldsProcessesOfOneApp) {
    auto source = std::make_shared<ScriptedProcessSource>();
    source->processes = {{10, "com.google.Chrome"},
                         {11, "com.google.Chrome.helper"},
                         {42, "us.zoom.xos"},
                         {12, ""},
                         {-1, "org.example"}};
    CallWatcher watcher(source, 42, 0.0);
    const auto events = watcher.poll(std::chrono::system_clock::now());
    ASSERT_EQ(events.size(), 0u);  // first sighting is pending even with no debounce
    const auto later = watcher.poll(std::chrono::system_clock::now());
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0], CallEvent::started(chrome));
}

using DetectionLoopTest = ServerFixture;

TEST_F(DetectionLoopTest, ReportsCallsAfterTheDebounceAndStopsWhenSwitchedOff) {
    processes->processes = {{100, "us.zoom.xos"}};
    send(R"({"id":1,"cmd":"detect.set","params":{"enabled":true}})");
    send(R"({"id":2,"cmd":"detect.set","params":{"enabled":true}})");
    EXPECT_EQ(processes->polls, 1);  // the first poll is immediate, and only one loop runs
    takeLines();

    clock->advance(2s);
    EXPECT_TRUE(lines.empty());
    clock->advance(1s);
    EXPECT_EQ(takeLines(),
              std::vector<std::string>{
                  R"({"appName":"Zoom","bundleId":"us.zoom.xos","event":"call.started"})"});
    EXPECT_EQ(logs.back(), "call started: us.zoom.xos");

    processes->processes.clear();
    clock->advance(2s);
    EXPECT_TRUE(lines.empty());
    clock->advance(1s);
    EXPECT_EQ(takeLines(),
              std::vector<std::string>{
                  R"({"appName":"Zoom","bundleId":"us.zoom.xos","event":"call.ended"})"});

    processes->processes = {{100, "us.zoom.xos"}};
    clock->advance(2s);
    send(R"({"id":3,"cmd":"detect.set","params":{"enabled":false}})");
    const int polls = processes->polls;
    clock->advance(10s);
    EXPECT_EQ(processes->polls, polls);
    EXPECT_EQ(takeLines(), std::vector<std::string>{R"({"id":3,"ok":true,"result":{}})"});
    EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(DetectionLoopTest, ALoopOutlivingItsServerEndsQuietly) {
    processes->processes = {{100, "us.zoom.xos"}};
    server->setDetection(true);
    clock->runReady();
    server.reset();
    clock->advance(10s);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(clock->sleepers(), 0u);
}

}  // namespace
}  // namespace tessarin::test
