#pragma once

#include <cstdint>
#include <span>

namespace tessarin {

// A RIFF/WAVE file of 16-bit PCM, read in place. `parse` accepts what a careful server would:
// chunks in any order (unknown ones skipped), but sizes that agree with the bytes present, a PCM
// format chunk before the data, and 16 bits per sample. Anything else throws std::invalid_argument.
struct WAVFile {
    int sampleRate = 0;
    int channels = 0;
    std::span<const std::uint8_t> pcm;  // points into the parsed bytes

    static WAVFile parse(std::span<const std::uint8_t> bytes);
};

}  // namespace tessarin
