#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

namespace tessarin::test {

// A private PulseAudio for capture tests, set up as data/sound-server.pa says (the null sinks
// "speakers", 48 kHz, the default output, and "micsink", 44.1 kHz, whose monitor is the default
// input) and reached through a socket in a temporary directory. It can be killed and started again
// on the same address, as a desktop's sound server restarts.
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
    std::string directory_;
    std::string address_;
    pid_t pid_ = -1;
};

}  // namespace tessarin::test
