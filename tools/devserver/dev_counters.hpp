#pragma once

#include <cstdint>

#include "core/json/json_value.hpp"

namespace tessarin {

// What the stand-in has seen and done since it started (or since the counters were reset), for
// end-to-end tests to check through GET /control.
struct DevCounters {
    std::int64_t requests = 0;
    std::int64_t unauthorized = 0;
    std::int64_t badRequests = 0;
    std::int64_t tokensIssued = 0;
    std::int64_t tokensRefused = 0;
    std::int64_t chunksReceived = 0;
    std::int64_t chunksTranscribed = 0;
    std::int64_t appendsReceived = 0;
    std::int64_t appendsFailed = 0;
    std::int64_t segmentsReceived = 0;
    std::int64_t segmentsStored = 0;
    std::int64_t segmentsDuplicate = 0;
    std::int64_t finishes = 0;
    std::int64_t upgradesAccepted = 0;
    std::int64_t upgradesRefused = 0;
    std::int64_t connectionsDropped = 0;
    std::int64_t commits = 0;
    std::int64_t commitsEmpty = 0;
    std::int64_t transcripts = 0;
    std::int64_t transcriptsSilent = 0;  // of `transcripts`: empty texts, no segment follows

    JSONValue toJSON() const {
        return JSONValue::object({{"requests", requests},
                                  {"unauthorized", unauthorized},
                                  {"badRequests", badRequests},
                                  {"tokensIssued", tokensIssued},
                                  {"tokensRefused", tokensRefused},
                                  {"chunksReceived", chunksReceived},
                                  {"chunksTranscribed", chunksTranscribed},
                                  {"appendsReceived", appendsReceived},
                                  {"appendsFailed", appendsFailed},
                                  {"segmentsReceived", segmentsReceived},
                                  {"segmentsStored", segmentsStored},
                                  {"segmentsDuplicate", segmentsDuplicate},
                                  {"finishes", finishes},
                                  {"upgradesAccepted", upgradesAccepted},
                                  {"upgradesRefused", upgradesRefused},
                                  {"connectionsDropped", connectionsDropped},
                                  {"commits", commits},
                                  {"commitsEmpty", commitsEmpty},
                                  {"transcripts", transcripts},
                                  {"transcriptsSilent", transcriptsSilent}});
    }
};

}  // namespace tessarin
