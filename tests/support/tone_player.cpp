#include "support/tone_player.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace tessarin::test {

TonePlayer::TonePlayer(const std::string& server, const std::string& sink, double frequency,
                       double amplitude, double seconds) {
    char pattern[] = "/tmp/tessarin-tone-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    file_ = pattern;
    constexpr int rate = 48000;
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        samples[2 * i] = samples[2 * i + 1] =
            static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * t));
    }
    const auto bytes = static_cast<ssize_t>(samples.size() * sizeof(float));
    const bool written = ::write(fd, samples.data(), static_cast<std::size_t>(bytes)) == bytes;
    close(fd);
    if (!written) {
        throw std::runtime_error("couldn't write the tone");
    }
    const std::string serverArgument = "--server=" + server;
    const std::string deviceArgument = "--device=" + sink;
    pid_ = fork();
    if (pid_ == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        // A short buffer, so the tone is heard at once and the null sink renders in small steps.
        execl("/usr/bin/pacat", "pacat", "--playback", "--raw", "--format=float32le",
              "--rate=48000", "--channels=2", "--latency-msec=50", serverArgument.c_str(),
              deviceArgument.c_str(), file_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    awaitSound(server, sink, amplitude > 0);
}

// An idle null sink sleeps for up to two seconds before it notices a new stream: listening to its
// monitor until the tone is there keeps the tests from mistaking that start-up for a gap.
void TonePlayer::awaitSound(const std::string& server, const std::string& sink, bool nonZero) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string serverArgument = "--server=" + server;
    const std::string deviceArgument = "--device=" + sink + ".monitor";
    const pid_t listener = fork();
    if (listener == 0) {
        dup2(out[1], 1);
        execl("/usr/bin/parec", "parec", "--raw", "--format=s16le", "--rate=24000", "--channels=1",
              "--latency-msec=20", serverArgument.c_str(), deviceArgument.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    bool heard = false;
    std::int16_t samples[2048];
    pollfd readable{out[0], POLLIN, 0};
    while (!heard && poll(&readable, 1, 5000) > 0) {
        const ssize_t bytes = read(out[0], samples, sizeof samples);
        if (bytes <= 0) {
            break;
        }
        for (ssize_t i = 0; i < bytes / 2 && !heard; ++i) {
            heard = !nonZero || samples[i] != 0;
        }
    }
    close(out[0]);
    kill(listener, SIGKILL);
    waitpid(listener, nullptr, 0);
    if (!heard) {
        throw std::runtime_error("the tone did not start");
    }
}

TonePlayer::~TonePlayer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::remove(file_.c_str());
}

}  // namespace tessarin::test
