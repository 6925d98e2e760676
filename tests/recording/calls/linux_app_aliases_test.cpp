#include <gtest/gtest.h>

#include "recording/calls/call_apps.hpp"
#include "recording/calls/input_stream_process_source.hpp"
#include "recording/calls/linux_app_aliases.hpp"

namespace tessarin {
namespace {

InputStream fromBinary(std::string binary) {
    InputStream stream;
    stream.pid = 7;
    stream.binary = std::move(binary);
    return stream;
}

// Each name Linux gives an application of the table, as binary, Flatpak or Snap identifier, counts
// as that application.
TEST(LinuxAppAliasesTest, LinuxNamesCountAsTheirApplication) {
    const std::pair<std::vector<std::string>, std::string> families[] = {
        {{"zoom", "ZOOM", "zoom.real", "zoom-client", "us.zoom.Zoom"}, "Zoom"},
        {{"teams", "teams-for-linux", "teams-insiders",
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
    };
    for (const auto& [names, app] : families) {
        for (const std::string& name : names) {
            const auto matched = CallApps::match(LinuxAppAliases::canonical(name));
            ASSERT_TRUE(matched) << name;
            EXPECT_EQ(matched->name, app) << name;
        }
    }
    for (const std::string name : {"zoomer", "vlc", "pavucontrol", ""}) {
        EXPECT_FALSE(CallApps::match(LinuxAppAliases::canonical(name))) << name;
    }
}

// A stream counts by its most trusted identifier that names an application: the application's
// own, then the sandbox's, then the binary's. Volume meters, paused streams, streams recording
// what is played, and our own streams never count.
TEST(LinuxAppAliasesTest, StreamsCountByTheirMostTrustedIdentifier) {
    InputStream sandboxed = fromBinary("electron");
    sandboxed.sandboxID = "com.slack.Slack";
    InputStream browser = fromBinary("chrome");
    browser.applicationID = "org.mozilla.firefox";  // the application knows best
    InputStream unknownID = fromBinary("zoom");
    unknownID.applicationID = "org.example.Recorder";
    InputStream ours = fromBinary("zoom");
    ours.applicationID = "com.tessarin.desktop.helper";
    InputStream meter = fromBinary("discord"), paused = fromBinary("discord"),
                monitor = fromBinary("discord");
    meter.peakDetect = true;
    paused.paused = true;
    monitor.recordsOutput = true;
    const std::pair<InputStream, std::string> cases[] = {
        {sandboxed, "com.tinyspeck.slackmacgap"},
        {browser, "org.mozilla.firefox"},
        {unknownID, "us.zoom.xos"},
        {fromBinary("vlc"), "vlc"},
        {ours, "com.tessarin.desktop.helper"},
        {meter, ""},
        {paused, ""},
        {monitor, ""},
        {fromBinary(""), ""},
    };
    for (const auto& [stream, bundleID] : cases) {
        EXPECT_EQ(LinuxAppAliases::bundleID(stream), bundleID) << stream.binary;
    }
    InputStreamProcessSource source([&] {
        std::vector<InputStream> streams;
        for (const auto& [stream, _] : cases) {
            streams.push_back(stream);
        }
        return streams;
    });
    const std::vector<InputProcess> expected = {{7, "com.tinyspeck.slackmacgap"},
                                                {7, "org.mozilla.firefox"},
                                                {7, "us.zoom.xos"},
                                                {7, "vlc"},
                                                {7, "com.tessarin.desktop.helper"}};
    EXPECT_EQ(source.processesUsingInput(), expected);
}

}  // namespace
}  // namespace tessarin
