#include "recording/calls/call_apps.hpp"

#include <algorithm>
#include <cctype>
#include <string>

namespace tessarin::CallApps {

namespace {

constexpr std::string_view ownIdentifier = "com.tessarin.desktop";

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// `identifier` is `prefix` itself or something below it.
bool isUnder(std::string_view identifier, std::string_view prefix) {
    if (identifier.size() == prefix.size()) {
        return identifier == prefix;
    }
    return identifier.size() > prefix.size() && identifier.starts_with(prefix) &&
           identifier[prefix.size()] == '.';
}

}  // namespace

const std::vector<Row>& table() {
    static const std::vector<Row> rows = {
        {{"us.zoom.xos", "Zoom"}, {"us.zoom"}},
        {{"com.microsoft.teams2", "Microsoft Teams"},
         {"com.microsoft.teams2", "com.microsoft.teams"}},
        {{"com.tinyspeck.slackmacgap", "Slack"}, {"com.tinyspeck.slackmacgap"}},
        {{"com.apple.FaceTime", "FaceTime"}, {"com.apple.FaceTime", "com.apple.avconferenced"}},
        {{"Cisco-Systems.Spark", "Webex"},
         {"com.cisco.webexmeetingsapp", "com.webex.meetingmanager", "Cisco-Systems.Spark"}},
        {{"com.hnc.Discord", "Discord"}, {"com.hnc.Discord"}},
        {{"com.google.Chrome", "Google Chrome"}, {"com.google.Chrome"}},
        {{"company.thebrowser.Browser", "Arc"}, {"company.thebrowser.Browser"}},
        {{"com.apple.Safari", "Safari"}, {"com.apple.Safari", "com.apple.WebKit.GPU"}},
        {{"com.microsoft.edgemac", "Microsoft Edge"}, {"com.microsoft.edgemac"}},
        {{"org.mozilla.firefox", "Firefox"},
         {"org.mozilla.firefox", "org.mozilla.plugincontainer"}},
        {{"com.brave.Browser", "Brave"}, {"com.brave.Browser"}},
    };
    return rows;
}

bool isOwn(std::string_view bundleID) {
    return isUnder(lowercased(bundleID), ownIdentifier);
}

std::optional<CallApp> match(std::string_view bundleID) {
    const std::string identifier = lowercased(bundleID);
    if (identifier.empty() || isUnder(identifier, ownIdentifier)) {
        return std::nullopt;
    }
    for (const Row& row : table()) {
        for (std::string_view candidate : row.matching) {
            if (isUnder(identifier, lowercased(candidate))) {
                return row.app;
            }
        }
    }
    return std::nullopt;
}

}  // namespace tessarin::CallApps
