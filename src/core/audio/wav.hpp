#pragma once

#include <cstdint>
#include <span>
#include <vector>

// WAV files for the audio chunks uploaded to the web server.
namespace tessarin::WAV {

// A 44-byte RIFF/WAVE header (PCM, 16 bits per sample) followed by the PCM bytes as given.
// Throws std::invalid_argument when a header field cannot hold the value (the sizes of the
// chunks this helper uploads are far inside the bounds).
std::vector<std::uint8_t> encode(std::span<const std::uint8_t> pcm16, int sampleRate, int channels);

}  // namespace tessarin::WAV
