#include <algorithm>
#include <cctype>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "recording/calls/call_apps.hpp"
#include "recording/calls/call_detector.hpp"
#include "recording/calls/call_watcher.hpp"
#include "support/server_fixture.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;

const CallApp zoom{"us.zoom.xos", "Zoom"};
const CallApp faceTime{"com.apple.FaceTime", "FaceTime"};
const CallApp chrome{"com.google.Chrome", "Google Chrome"};

std::optional<std::string> matched(const std::string& identifier) {
    const auto app = CallApps::match(identifier);
    return app ? std::optional<std::string>(app->bundleID) : std::nullopt;
}

TEST(CallAppsMatch, EveryMatchingIdentifierCountsForItsRowAndOnlyAsAWholeName) {
    ASSERT_EQ(CallApps::table().size(), 12u);
    for (const auto& row : CallApps::table()) {
        for (std::string_view candidate : row.matching) {
            const std::string id(candidate);
            std::string upper;
            std::transform(id.begin(), id.end(), std::back_inserter(upper), ::toupper);
            for (const std::string& variant : {id, upper, id + ".helper"}) {
                EXPECT_EQ(matched(variant), row.app.bundleID) << variant;
            }
            EXPECT_EQ(matched(id + "x"), std::nullopt) << id;
        }
    }
    for (const char* never : {"com.tessarin.desktop", "COM.TESSARIN.DESKTOP.helper", ""}) {
        EXPECT_EQ(matched(never), std::nullopt) << never;
    }
}

// Polls a detector once per second with the apps seen at each second, collecting the events by
// time.
std::vector<std::string> runTimeline(const std::vector<std::set<CallApp>>& seenAt) {
    CallDetector detector(3s);
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
    CallDetector detector(0s);
    const CallDetector::Date t0{};
    detector.update({zoom}, t0);
    detector.update({zoom}, t0);
    EXPECT_EQ(detector.activeApps(), std::set<CallApp>{zoom});
    detector.reset();
    EXPECT_TRUE(detector.activeApps().empty());
    EXPECT_TRUE(detector.update({}, t0).empty());
}

TEST(CallWatcherPoll, IgnoresItselfFoldsProcessesOfOneAppAndSurvivesAFailingList) {
    auto source = std::make_shared<ScriptedProcessSource>();
    source->processes = {{10, "com.google.Chrome"},
                         {11, "com.google.Chrome.helper"},
                         {42, "us.zoom.xos"},
                         {12, ""},
                         {-1, "org.example"}};
    CallWatcher watcher(source, 42, 0s);
    const auto now = std::chrono::system_clock::now();
    EXPECT_TRUE(watcher.poll(now).empty());  // first sighting is pending even with no debounce
    EXPECT_EQ(watcher.poll(now), std::vector<CallEvent>{CallEvent::started(chrome)});
    EXPECT_EQ(watcher.queryFailure(), std::nullopt);

    source->failure = "no sound server";
    EXPECT_EQ(watcher.poll(now), std::vector<CallEvent>{CallEvent::ended(chrome)});
    EXPECT_EQ(watcher.queryFailure(), "no sound server");
    source->failure.reset();
    watcher.poll(now);
    EXPECT_EQ(watcher.queryFailure(), std::nullopt);
}

using DetectionLoopTest = ServerFixture;

const std::string zoomStarted =
    R"({"appName":"Zoom","bundleId":"us.zoom.xos","event":"call.started"})";
const std::string zoomEnded = R"({"appName":"Zoom","bundleId":"us.zoom.xos","event":"call.ended"})";

TEST_F(DetectionLoopTest, ReportsCallsAfterTheDebounceUntilSwitchedOffOrItsServerIsGone) {
    processes->processes = {{100, "us.zoom.xos"}};
    send(R"({"id":1,"cmd":"detect.set","params":{"enabled":true}})");
    send(R"({"id":2,"cmd":"detect.set","params":{"enabled":true}})");
    EXPECT_EQ(processes->polls, 1);  // the first poll is immediate, and only one loop runs
    takeLines();
    clock->advance(2s);
    EXPECT_TRUE(lines.empty());
    clock->advance(1s);
    EXPECT_EQ(takeLines(), std::vector<std::string>{zoomStarted});
    processes->processes.clear();
    clock->advance(3s);
    EXPECT_EQ(takeLines(), std::vector<std::string>{zoomEnded});
    EXPECT_EQ(logs,
              (std::vector<std::string>{"call started: us.zoom.xos", "call ended: us.zoom.xos"}));

    // Off and on again in one turn: a new loop starts from nothing.
    processes->processes = {{100, "us.zoom.xos"}};
    server->setDetection(false);
    server->setDetection(true);
    clock->advance(2s);
    server.reset();
    clock->advance(10s);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(clock->sleepers(), 0u);
}

TEST_F(DetectionLoopTest, FailuresAreLoggedAndNeitherEndsDetection) {
    bool clockBroken = false;
    auto env = environment();
    env.now = [&, now = env.now] {
        return clockBroken ? throw std::runtime_error("no wall clock") : now();
    };
    makeServer(env);
    processes->failure = "no sound server";
    server->setDetection(true);
    clock->advance(5s);  // a failing list is no processes, logged once while it keeps failing
    EXPECT_EQ(processes->polls, 6);
    EXPECT_EQ(logs, std::vector<std::string>{
                        "call detection: listing processes failed: no sound server"});

    clockBroken = true;  // a loop that fails ends, says why, and is started again
    clock->advance(1s);
    EXPECT_FALSE(server->isDetecting());
    EXPECT_EQ(diagnostics, std::vector<std::string>{"call detection failed: no wall clock"});
    clockBroken = false;
    processes->failure.reset();
    processes->processes = {{100, "us.zoom.xos"}};
    send(R"({"id":1,"cmd":"detect.set","params":{"enabled":true}})");
    clock->advance(3s);
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{R"({"id":1,"ok":true,"result":{}})", zoomStarted}));
}

}  // namespace
}  // namespace tessarin::test
