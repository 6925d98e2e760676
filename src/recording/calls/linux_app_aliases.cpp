#include "recording/calls/linux_app_aliases.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

#include "recording/calls/call_apps.hpp"

namespace tessarin::LinuxAppAliases {

namespace {

// Linux identifiers (lower case) of the applications whose canonical identifier differs. Flatpak
// identifiers that already lie below a canonical one (us.zoom.Zoom, com.google.Chrome,
// org.mozilla.firefox, com.brave.Browser) need no entry.
constexpr std::pair<std::string_view, std::string_view> aliases[] = {
    {"zoom", "us.zoom.xos"},
    {"zoom.real", "us.zoom.xos"},
    {"zoom-client", "us.zoom.xos"},
    {"teams", "com.microsoft.teams2"},
    {"teams-insiders", "com.microsoft.teams2"},
    {"teams-for-linux", "com.microsoft.teams2"},
    {"com.github.ismaelmartinez.teams_for_linux", "com.microsoft.teams2"},
    {"slack", "com.tinyspeck.slackmacgap"},
    {"com.slack.slack", "com.tinyspeck.slackmacgap"},
    {"webex", "Cisco-Systems.Spark"},
    {"ciscocollabhost", "Cisco-Systems.Spark"},
    {"discord", "com.hnc.Discord"},
    {"discordcanary", "com.hnc.Discord"},
    {"com.discordapp.discord", "com.hnc.Discord"},
    {"com.discordapp.discordcanary", "com.hnc.Discord"},
    {"chrome", "com.google.Chrome"},
    {"google-chrome", "com.google.Chrome"},
    {"google-chrome-stable", "com.google.Chrome"},
    {"google-chrome-beta", "com.google.Chrome"},
    {"chromium", "com.google.Chrome"},
    {"chromium-browser", "com.google.Chrome"},
    {"org.chromium.chromium", "com.google.Chrome"},
    {"firefox", "org.mozilla.firefox"},
    {"firefox-esr", "org.mozilla.firefox"},
    {"firefox-bin", "org.mozilla.firefox"},
    {"msedge", "com.microsoft.edgemac"},
    {"microsoft-edge", "com.microsoft.edgemac"},
    {"microsoft-edge-stable", "com.microsoft.edgemac"},
    {"com.microsoft.edge", "com.microsoft.edgemac"},
    {"brave", "com.brave.Browser"},
    {"brave-browser", "com.brave.Browser"},
};

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

std::string canonical(std::string_view identifier) {
    const std::string key = lowercased(identifier);
    for (const auto& [alias, bundleID] : aliases) {
        if (alias == key) {
            return std::string(bundleID);
        }
    }
    return std::string(identifier);
}

std::string bundleID(const InputStream& stream) {
    if (stream.recordsOutput || stream.peakDetect || stream.paused) {
        return {};
    }
    const std::string_view candidates[] = {stream.applicationID, stream.sandboxID, stream.binary};
    for (std::string_view candidate : candidates) {
        std::string identifier = canonical(candidate);
        // Our own streams say who they are first; nothing else they carry may count.
        if (CallApps::isOwn(identifier) || CallApps::match(identifier)) {
            return identifier;
        }
    }
    for (std::string_view candidate : candidates) {
        if (!candidate.empty()) {
            return std::string(candidate);
        }
    }
    return {};
}

}  // namespace tessarin::LinuxAppAliases
