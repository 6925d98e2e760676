#include <unistd.h>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "recording/calls/call_apps.hpp"
#include "recording/calls/call_detector.hpp"
#include "recording/calls/linux_app_aliases.hpp"
#include "support/server_fixture.hpp"

namespace tessarin::test {
namespace {

using namespace std::chrono_literals;

const CallApp zoom{"us.zoom.xos", "Zoom"};
const CallApp faceTime{"com.apple.FaceTime", "FaceTime"};

std::string matched(const std::string& identifier) {
    const auto app = CallApps::match(LinuxAppAliases::canonical(identifier));
    return app ? app->name : "";
}

// Every identifier of the table counts in any case and with anything below it, not with more
// letters; each name Linux gives an application (binary, Flatpak or Snap identifier) counts as it;
// ours never counts.
TEST(CallAppsMatch, EveryIdentifierAndLinuxNameCountsForItsApplicationOnlyAsAWholeName) {
    for (const auto& row : CallApps::table()) {
        for (std::string_view candidate : row.matching) {
            const std::string id(candidate);
            std::string upper;
            std::transform(id.begin(), id.end(), std::back_inserter(upper), ::toupper);
            for (const std::string& variant : {id, upper, id + ".helper"}) {
                EXPECT_EQ(matched(variant), row.app.name) << variant;
            }
            EXPECT_EQ(matched(id + "x"), "") << id;
        }
    }
    const std::pair<std::vector<std::string>, std::string> families[] = {
        {{"zoom", "ZOOM", "zoom.real", "zoom-client", "us.zoom.Zoom"}, "Zoom"},
        {{"teams", "teams-for-linux", "Teams-Insiders",
          "com.github.IsmaelMartinez.teams_for_linux"},
         "Microsoft Teams"},
        {{"slack", "com.slack.Slack"}, "Slack"},
        {{"webex", "CiscoCollabHost"}, "Webex"},
        {{"discord", "DiscordCanary", "com.discordapp.Discord", "com.discordapp.DiscordCanary"},
         "Discord"},
        {{"chrome", "google-chrome", "google-chrome-stable", "google-chrome-beta", "chromium",
          "chromium-browser", "org.chromium.Chromium", "com.google.Chrome"},
         "Google Chrome"},
        {{"firefox", "firefox-esr", "firefox-bin", "org.mozilla.firefox"}, "Firefox"},
        {{"msedge", "microsoft-edge", "microsoft-edge-stable", "com.microsoft.Edge"},
         "Microsoft Edge"},
        {{"brave", "brave-browser", "com.brave.Browser"}, "Brave"},
        {{"zoomer", "vlc", "pavucontrol", "", "com.tessarin.desktop",
          "COM.TESSARIN.DESKTOP.helper"},
         ""},
    };
    for (const auto& [names, app] : families) {
        for (const std::string& name : names) {
            EXPECT_EQ(matched(name), app) << name;
        }
    }
}

// A stream counts by its most trusted identifier that names an application (its own, the
// sandbox's, the binary's; ours first); volume meters, paused and monitor streams never count.
TEST(CallAppsMatch, StreamsCountByTheirMostTrustedIdentifier) {
    const auto stream = [](std::string app, std::string sandbox, std::string binary) {
        return InputStream{7, std::move(app), std::move(sandbox), std::move(binary)};
    };
    InputStream meter = stream("", "", "discord"), paused = meter, monitor = meter;
    meter.peakDetect = paused.paused = monitor.recordsOutput = true;
    const std::pair<InputStream, std::string> cases[] = {
        {stream("", "com.slack.Slack", "electron"), "com.tinyspeck.slackmacgap"},
        {stream("org.mozilla.firefox", "", "chrome"), "org.mozilla.firefox"},
        {stream("org.example.Recorder", "us.zoom.Zoom", "chrome"), "us.zoom.Zoom"},
        {stream("org.example.Recorder", "", "zoom"), "us.zoom.xos"},
        {stream("com.tessarin.desktop.helper", "", "zoom"), "com.tessarin.desktop.helper"},
        {stream("", "", "vlc"), "vlc"},
        {meter, ""},
        {paused, ""},
        {monitor, ""},
        {stream("", "", ""), ""},
    };
    for (const auto& [stream, bundleID] : cases) {
        EXPECT_EQ(LinuxAppAliases::bundleID(stream), bundleID) << stream.binary;
    }
}

// The events of a detector polled once a second with the apps seen at each second.
std::vector<std::string> runTimeline(const std::vector<std::set<CallApp>>& seenAt) {
    CallDetector detector(3s);
    std::vector<std::string> events;
    for (std::size_t t = 0; t < seenAt.size(); ++t) {
        const auto now = CallDetector::Date(1000s + std::chrono::seconds(t));
        for (const auto& event : detector.update(seenAt[t], now)) {
            events.push_back((event.kind == CallEvent::Kind::started ? "started " : "ended ") +
                             event.app.name + " @" + std::to_string(t));
        }
    }
    return events;
}

TEST(CallDetectorDebounce, ChangesAreReportedOnlyAfterTheDebounceInBothDirections) {
    const std::set<CallApp> none, z{zoom}, f{faceTime}, zf{zoom, faceTime};
    const std::pair<std::vector<std::set<CallApp>>, std::vector<std::string>> cases[] = {
        // Starts when seen for exactly the debounce; a missed poll restarts the wait.
        {{z, z, z, z}, {"started Zoom @3"}},
        {{z, z, none, z, z, z, z}, {"started Zoom @6"}},
        // Ends when unseen for exactly the debounce since last seen; a shorter gap keeps the call.
        {{z, z, z, z, none, none, none, none}, {"started Zoom @3", "ended Zoom @6"}},
        {{z, z, z, z, none, none, z, none, none}, {"started Zoom @3"}},
        // After ending, the app must be seen for the whole debounce again.
        {{z, z, z, z, none, none, none, z, z, z, z},
         {"started Zoom @3", "ended Zoom @6", "started Zoom @10"}},
        // One poll reports in identifier order, starts before ends.
        {{zf, zf, zf, zf, none, none, none, none},
         {"started FaceTime @3", "started Zoom @3", "ended FaceTime @6", "ended Zoom @6"}},
        {{z, z, z, z, zf, f, f, f}, {"started Zoom @3", "started FaceTime @7", "ended Zoom @7"}},
    };
    for (const auto& [timeline, expected] : cases) {
        EXPECT_EQ(runTimeline(timeline), expected) << &timeline - &cases[0].first;
    }
}

using DetectionLoopTest = ServerFixture;

// One loop, polling at once and then each second, blind to the helper's own process and counting
// an app's processes as one; a list that can't be read counts as empty and is logged once per
// failing stretch; a loop that fails ends and says why and can be started again; it ends when
// switched off or with its server.
TEST_F(DetectionLoopTest, ReportsCallsUntilSwitchedOffOrItsServerIsGone) {
    const std::string started =
        R"({"appName":"Zoom","bundleId":"us.zoom.xos","event":"call.started"})";
    bool clockBroken = false;
    auto env = environment();
    env.now = [&, now = env.now] {
        return clockBroken ? throw std::runtime_error("no wall clock") : now();
    };
    makeServer(env);
    processes->processes = {
        {100, "us.zoom.xos"}, {101, "us.zoom.xos.helper"}, {getpid(), "com.google.Chrome"}};
    send(R"({"id":1,"cmd":"detect.set","params":{"enabled":true}})");
    send(R"({"id":2,"cmd":"detect.set","params":{"enabled":true}})");
    EXPECT_EQ(processes->polls, 1);
    takeLines();
    clock->advance(2s);
    EXPECT_TRUE(lines.empty());
    clock->advance(1s);
    EXPECT_EQ(takeLines(), std::vector{started});
    processes->failure = "no sound server";
    clock->advance(3s);
    EXPECT_EQ(takeLines(),
              std::vector<std::string>{
                  R"({"appName":"Zoom","bundleId":"us.zoom.xos","event":"call.ended"})"});
    EXPECT_EQ(processes->polls, 7);
    const auto failed = processes->failure;
    processes->failure.reset();
    clock->advance(1s);
    processes->failure = failed;
    clock->advance(1s);
    const std::string logged = "call detection: listing processes failed: no sound server";
    EXPECT_EQ(logs, (std::vector<std::string>{"call started: us.zoom.xos", logged,
                                              "call ended: us.zoom.xos", logged}));
    clockBroken = true;
    clock->advance(1s);
    EXPECT_FALSE(server->isDetecting());
    EXPECT_EQ(diagnostics, std::vector<std::string>{"call detection failed: no wall clock"});
    clockBroken = false;
    processes->failure.reset();
    send(R"({"id":3,"cmd":"detect.set","params":{"enabled":true}})");
    clock->advance(3s);
    EXPECT_EQ(takeLines(),
              (std::vector<std::string>{R"({"id":3,"ok":true,"result":{}})", started}));
    server->setDetection(false);
    const int polls = processes->polls;
    clock->advance(2s);
    EXPECT_EQ(processes->polls, polls);
    server->setDetection(true);
    server.reset();
    clock->advance(10s);
    EXPECT_EQ(processes->polls, polls + 1);
    EXPECT_EQ(clock->sleepers(), 0u);
}

}  // namespace
}  // namespace tessarin::test
