#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace tessarin::test {

// A private PulseAudio set up as data/sound-server.pa says, on a socket in a temporary directory;
// it can be killed and started again on the same address, as a desktop's sound server restarts.
class PulseTestServer {
  public:
    PulseTestServer();
    ~PulseTestServer();
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    // The server string libpulse takes ("unix:<dir>/native").
    const std::string& address() const { return address_; }
    void kill();
    void start();

    // The server the test script started (PULSE_SERVER); nothing when none was given.
    static std::optional<std::string> shared();
    // Runs pactl against `address`; its exit status.
    static int pactl(const std::string& address, const std::vector<std::string>& arguments);

  private:
    std::string directory_, address_;
    std::unique_ptr<ChildProcess> process_;
};

#define REQUIRE_SOUND_SERVER()                                                         \
    if (!PulseTestServer::shared()) {                                                  \
        GTEST_SKIP() << "no sound server: set PULSE_SERVER (scripts/test starts one)"; \
    }

// Plays a sine tone of amplitude 0.5 into a sink through the server's own generator for as long as
// it lives. Made once the sink's monitor carries it: an idle null sink sleeps for up to two seconds
// before it notices a new stream.
class TonePlayer {
  public:
    TonePlayer(const std::string& server, const std::string& sink, int frequency);
    ~TonePlayer();

  private:
    std::string server_, module_, file_ = "/tmp/tessarin-tone-XXXXXX";
    std::unique_ptr<ChildProcess> listener_;
};

}  // namespace tessarin::test
