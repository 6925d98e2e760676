#include "devserver/wav_file.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

namespace tessarin {

namespace {

std::uint32_t littleEndian(std::span<const std::uint8_t> bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
    }
    return value;
}

bool tagAt(std::span<const std::uint8_t> bytes, std::size_t at, std::string_view tag) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data() + at), 4) == tag;
}

[[noreturn]] void refuse(const char* why) {
    throw std::invalid_argument(std::string("Not a usable WAV file: ") + why);
}

}  // namespace

WAVFile WAVFile::parse(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t riffHeader = 12;
    constexpr std::size_t chunkHeader = 8;
    if (bytes.size() < riffHeader || !tagAt(bytes, 0, "RIFF") || !tagAt(bytes, 8, "WAVE")) {
        refuse("no RIFF/WAVE header");
    }
    if (littleEndian(bytes, 4, 4) != bytes.size() - 8) {
        refuse("the RIFF size does not match the file");
    }
    WAVFile file;
    bool haveFormat = false;
    for (std::size_t at = riffHeader; at + chunkHeader <= bytes.size();) {
        const std::size_t size = littleEndian(bytes, at + 4, 4);
        const std::size_t body = at + chunkHeader;
        if (size > bytes.size() - body) {
            refuse("a chunk runs past the end of the file");
        }
        if (tagAt(bytes, at, "fmt ")) {
            if (size < 16 || littleEndian(bytes, body, 2) != 1 ||
                littleEndian(bytes, body + 14, 2) != 16) {
                refuse("the audio is not 16-bit PCM");
            }
            file.channels = static_cast<int>(littleEndian(bytes, body + 2, 2));
            file.sampleRate = static_cast<int>(littleEndian(bytes, body + 4, 4));
            if (file.channels < 1 || file.sampleRate < 1000 || file.sampleRate > 384000) {
                refuse("the channel count or sample rate is out of range");
            }
            haveFormat = true;
        } else if (tagAt(bytes, at, "data")) {
            if (!haveFormat) {
                refuse("the data comes before the format");
            }
            file.pcm = bytes.subspan(body, size);
            return file;
        }
        at = body + size + (size % 2);  // chunks are padded to an even size
    }
    refuse("there is no data chunk");
}

}  // namespace tessarin
