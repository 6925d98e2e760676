#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/json_value.hpp"
#include "devserver/audio_measure.hpp"
#include "devserver/dev_counters.hpp"

namespace tessarin {

// One realtime transcription session as the service plays it, without the socket: each client
// message in, the service's messages out. It confirms the session configuration, buffers appended
// audio (as running measures only, never the audio itself), and answers every commit with the
// committed item, interim deltas and the completed transcript, whose text is the stand-in's
// description of the audio. Commits of less than 100 ms of audio get the service's
// "input_audio_buffer_commit_empty" error, as the real service does; messages it cannot read get an
// "invalid_request_error".
class RealtimeStandIn {
  public:
    static constexpr std::int64_t minimumCommitMs = 100;

    explicit RealtimeStandIn(DevCounters& counters);

    std::vector<JSONValue> receive(std::string_view text);

  private:
    std::vector<JSONValue> commit();
    std::vector<JSONValue> transcriptOf(const std::string& itemID) const;

    DevCounters& counters_;
    AudioMeasure buffer_;
    std::int64_t items_ = 0;
    std::optional<std::string> lastItemID_;
};

}  // namespace tessarin
