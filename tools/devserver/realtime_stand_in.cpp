#include "devserver/realtime_stand_in.hpp"

#include "core/audio/pcm16.hpp"
#include "core/text/base64.hpp"

namespace tessarin {

namespace {

JSONValue serviceError(std::string_view code, std::string_view message) {
    return JSONValue::object({{"type", "error"},
                              {"error", JSONValue::object({{"type", "invalid_request_error"},
                                                           {"code", code},
                                                           {"message", message}})}});
}

JSONValue itemMessage(std::string_view type, const std::string& itemID, std::string_view key,
                      std::string_view text) {
    return JSONValue::object(
        {{"type", type}, {"item_id", itemID}, {"content_index", 0}, {std::string(key), text}});
}

}  // namespace

RealtimeStandIn::RealtimeStandIn(DevCounters& counters)
    : counters_(counters), buffer_(PCM16::sampleRate) {}

std::vector<JSONValue> RealtimeStandIn::receive(std::string_view text) {
    const auto message = JSONValue::parse(text);
    const JSONValue* typeMember = message ? message->member("type") : nullptr;
    const auto type = typeMember ? typeMember->stringValue() : std::nullopt;
    if (!type) {
        return {serviceError("invalid_json", "Expected a JSON object with a \"type\".")};
    }
    if (*type == "session.update") {
        const JSONValue* session = message->member("session");
        if (!session || !session->isObject()) {
            return {serviceError("missing_required_parameter", "Missing \"session\".")};
        }
        return {JSONValue::object({{"type", "session.updated"}, {"session", *session}})};
    }
    if (*type == "input_audio_buffer.append") {
        const JSONValue* audio = message->member("audio");
        const auto encoded = audio ? audio->stringValue() : std::nullopt;
        const auto pcm = encoded ? Base64::decode(*encoded) : std::nullopt;
        if (!pcm) {
            return {serviceError("invalid_value", "\"audio\" must be base64 PCM16.")};
        }
        buffer_.add(*pcm);
        return {};
    }
    if (*type == "input_audio_buffer.commit") {
        return commit();
    }
    if (*type == "input_audio_buffer.clear") {
        buffer_.clear();
        return {JSONValue::object({{"type", "input_audio_buffer.cleared"}})};
    }
    return {serviceError("invalid_value", "Unknown event type \"" + *type + "\".")};
}

std::vector<JSONValue> RealtimeStandIn::commit() {
    ++counters_.commits;
    if (buffer_.durationMs() < minimumCommitMs) {
        ++counters_.commitsEmpty;
        return {serviceError("input_audio_buffer_commit_empty",
                             "Error committing input audio buffer: expected at least 100ms of "
                             "audio, but the buffer only has " +
                                 std::to_string(buffer_.durationMs()) + "ms.")};
    }
    const std::string itemID = "item_" + std::to_string(++items_);
    std::vector<JSONValue> replies{
        JSONValue::object({{"type", "input_audio_buffer.committed"},
                           {"item_id", itemID},
                           {"previous_item_id", lastItemID_ ? JSONValue(*lastItemID_) : nullptr}})};
    for (JSONValue& message : transcriptOf(itemID)) {
        replies.push_back(std::move(message));
    }
    // Counted like chunksTranscribed: only what becomes a segment, so tests can balance the two.
    if (!buffer_.isSilent()) {
        ++counters_.transcripts;
    }
    lastItemID_ = itemID;
    buffer_.clear();
    return replies;
}

// Silence is transcribed as nothing; speech as its description, streamed in two deltas first.
std::vector<JSONValue> RealtimeStandIn::transcriptOf(const std::string& itemID) const {
    constexpr std::string_view deltaType = "conversation.item.input_audio_transcription.delta";
    constexpr std::string_view completedType =
        "conversation.item.input_audio_transcription.completed";
    if (buffer_.isSilent()) {
        return {itemMessage(completedType, itemID, "transcript", "")};
    }
    const std::string text = buffer_.standInText();
    const std::size_t split = text.find(", ") + 1;
    return {itemMessage(deltaType, itemID, "delta", std::string_view(text).substr(0, split)),
            itemMessage(deltaType, itemID, "delta", std::string_view(text).substr(split)),
            itemMessage(completedType, itemID, "transcript", text)};
}

}  // namespace tessarin
