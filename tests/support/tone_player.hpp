#pragma once

#include <sys/types.h>
#include <string>

namespace tessarin::test {

// Plays a sine tone (or, at amplitude 0, digital silence) into a sink of a sound server, 48 kHz
// stereo, for as long as it lives (at most `seconds`), through pacat. Made once the sink's monitor
// carries it.
class TonePlayer {
  public:
    TonePlayer(const std::string& server, const std::string& sink, double frequency,
               double amplitude, double seconds = 30);
    ~TonePlayer();
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

  private:
    void awaitSound(const std::string& server, const std::string& sink, bool nonZero);

    std::string file_;
    pid_t pid_ = -1;
};

}  // namespace tessarin::test
