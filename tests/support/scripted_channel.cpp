#include "support/scripted_channel.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace tessarin::test {

ScriptedChannel::ScriptedChannel(Kind kind, Speaker speaker, ChannelCallbacks callbacks,
                                 std::int64_t offsetMs, ChunkChannel::SeqFor seqFor)
    : kind(kind),
      speaker(speaker),
      offsetMs(offsetMs),
      seqFor(std::move(seqFor)),
      callbacks(std::move(callbacks)) {}

Awaitable<void> ScriptedChannel::start() {
    if (const auto gate = startGate) {
        co_await gate->wait();
    }
    if (startFailure) {
        std::rethrow_exception(startFailure);
    }
    started = true;
}

Awaitable<void> ScriptedChannel::feed(std::vector<std::uint8_t> pcm) {
    if (!finished && !cancelled) {
        fed.insert(fed.end(), pcm.begin(), pcm.end());
    }
    co_return;
}

Awaitable<void> ScriptedChannel::finish() {
    finished = true;
    if (onFinish) {
        onFinish(*this);
    }
    if (const auto gate = finishGate) {
        co_await gate->wait();
    }
}

Awaitable<void> ScriptedChannel::cancel() {
    cancelled = true;
    for (const auto& gate : {startGate, finishGate}) {
        if (gate) {
            gate->resume();
        }
    }
    co_return;
}

RecordingPipeline::Dependencies::RealtimeFactory ScriptedChannels::realtime() {
    return [this](Speaker speaker, std::optional<std::string>,
                  RecordingPipeline::Dependencies::TokenFetch, ChannelCallbacks callbacks) {
        auto channel = std::make_shared<ScriptedChannel>(ScriptedChannel::Kind::realtime, speaker,
                                                         std::move(callbacks), 0, nullptr);
        if (prepare) {
            prepare(*channel);
        }
        made.push_back(channel);
        return channel;
    };
}

RecordingPipeline::Dependencies::ChunkFactory ScriptedChannels::chunks(ScriptedChannel::Kind kind) {
    return [this, kind](Speaker speaker, std::optional<std::string>, std::int64_t offsetMs,
                        ChunkChannel::SeqFor seqFor, ChunkChannel::Upload,
                        ChannelCallbacks callbacks) {
        auto channel = std::make_shared<ScriptedChannel>(kind, speaker, std::move(callbacks),
                                                         offsetMs, std::move(seqFor));
        if (prepare) {
            prepare(*channel);
        }
        made.push_back(channel);
        return channel;
    };
}

ScriptedChannel& ScriptedChannels::get(ScriptedChannel::Kind kind, Speaker speaker,
                                       std::size_t nth) const {
    for (const auto& channel : made) {
        if (channel->kind == kind && channel->speaker == speaker && nth-- == 0) {
            return *channel;
        }
    }
    throw std::logic_error("no such scripted channel");
}

std::size_t ScriptedChannels::count(ScriptedChannel::Kind kind) const {
    std::size_t count = 0;
    for (const auto& channel : made) {
        count += channel->kind == kind ? 1 : 0;
    }
    return count;
}

}  // namespace tessarin::test
