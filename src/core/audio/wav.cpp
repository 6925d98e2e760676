#include "core/audio/wav.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace tessarin::WAV {
namespace {

constexpr std::size_t headerSize = 44;

void putTag(std::uint8_t* at, const char* tag) {
    std::memcpy(at, tag, std::strlen(tag));
}

void putUInt32(std::uint8_t* at, std::uint64_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void putUInt16(std::uint8_t* at, std::uint64_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void requireFits(std::uint64_t value, std::uint64_t limit, const char* what) {
    if (value > limit) {
        throw std::invalid_argument(std::string("WAV ") + what + " does not fit its header field");
    }
}

}  // namespace

std::vector<std::uint8_t> encode(std::span<const std::uint8_t> pcm16, int sampleRate,
                                 int channels) {
    // A header field that silently wrapped around would make a file other readers misread.
    constexpr std::uint64_t max32 = std::numeric_limits<std::uint32_t>::max();
    constexpr std::uint64_t max16 = std::numeric_limits<std::uint16_t>::max();
    if (sampleRate < 0 || channels < 0) {
        throw std::invalid_argument("WAV sample rate and channel count must not be negative");
    }
    const std::uint64_t dataBytes = pcm16.size();
    const auto rate = static_cast<std::uint64_t>(sampleRate);
    const auto channelCount = static_cast<std::uint64_t>(channels);
    requireFits(36 + dataBytes, max32, "data size");
    requireFits(rate * channelCount * 2, max32, "byte rate");
    requireFits(channelCount * 2, max16, "frame size");

    std::vector<std::uint8_t> file(headerSize + pcm16.size());
    std::uint8_t* header = file.data();
    putTag(header + 0, "RIFF");
    putUInt32(header + 4, 36 + dataBytes);
    putTag(header + 8, "WAVEfmt ");
    putUInt32(header + 16, 16);
    putUInt16(header + 20, 1);
    putUInt16(header + 22, channelCount);
    putUInt32(header + 24, rate);
    putUInt32(header + 28, rate * channelCount * 2);
    putUInt16(header + 32, channelCount * 2);
    putUInt16(header + 34, 16);
    putTag(header + 36, "data");
    putUInt32(header + 40, dataBytes);
    if (!pcm16.empty()) {
        std::memcpy(header + headerSize, pcm16.data(), pcm16.size());
    }
    return file;
}

}  // namespace tessarin::WAV
