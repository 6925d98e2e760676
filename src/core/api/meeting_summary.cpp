#include "core/api/meeting_summary.hpp"

#include "core/api/json_fields.hpp"
#include "core/api/lenient_string.hpp"

namespace tessarin {

MeetingSummary MeetingSummary::decode(const JSONValue& value) {
    JSONFields::requireObject(value, "MeetingSummary");
    MeetingSummary summary;
    summary.id = LenientString::decode(JSONFields::required(value, "id")).value;
    summary.title = JSONFields::string(value, "title").value_or("Untitled meeting");
    summary.startsAt = JSONFields::firstDate(value, {"startsAt", "starts_at", "createdAt"});
    summary.status = JSONFields::string(value, "status");
    summary.visibility = JSONFields::string(value, "visibility");
    summary.url = JSONFields::url(value, "url");
    return summary;
}

URL MeetingSummary::pageURL(const URL& app) const {
    if (url) {
        const std::string scheme = url->scheme();
        if (scheme == "https" || scheme == "http") {
            return *url;
        }
        if (scheme.empty()) {
            if (auto resolved = app.resolving(*url)) {
                return *resolved;
            }
        }
    }
    return app.appendingPath("meetings/" + URL::escapePathSegment(id));
}

}  // namespace tessarin
