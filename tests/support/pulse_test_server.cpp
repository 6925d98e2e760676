#include "support/pulse_test_server.hpp"

#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>
#include <thread>

namespace tessarin::test {

namespace {

// Whether `done` holds within `seconds`, asking every 10 ms.
template <class Done>
bool within(int seconds, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

std::string temporaryFile() {
    std::string name = "/tmp/tessarin-tone-XXXXXX";
    close(mkstemp(name.data()));
    return name;
}

}  // namespace

PulseTestServer::PulseTestServer() {
    std::string pattern = "/tmp/tessarin-sound-XXXXXX";
    directory_ = mkdtemp(pattern.data());
    address_ = "unix:" + directory_ + "/native";
    start();
}

PulseTestServer::~PulseTestServer() {
    kill();
    std::filesystem::remove_all(directory_);
}

void PulseTestServer::start() {
    // The same set-up as the server the test script starts.
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/pulseaudio",
        std::vector<std::string>{
            "-n", "-F", TESSARIN_TEST_DATA_DIR "/sound-server.pa", "--daemonize=no",
            "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=file:" + directory_ + "/log",
            "-L", "module-native-protocol-unix socket=" + directory_ + "/native auth-anonymous=1"});
    if (!within(10, [&] { return pactl(address_, {"info"}) == 0; })) {
        throw std::runtime_error("the private sound server did not start");
    }
}

void PulseTestServer::kill() {
    process_.reset();
    std::filesystem::remove(directory_ + "/native");
}

std::optional<std::string> PulseTestServer::shared() {
    const char* address = std::getenv("PULSE_SERVER");
    return address && *address ? std::optional<std::string>(address) : std::nullopt;
}

int PulseTestServer::pactl(const std::string& address, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"--server=" + address};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ChildProcess pactl("/usr/bin/pactl", command);
    return pactl.wait().value_or(-1);
}

TonePlayer::TonePlayer(const std::string& server, const std::string& sink, double frequency,
                       double amplitude)
    : file_(temporaryFile()) {
    std::vector<float> samples(30 * 48000 * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i / 2) / 48000;
        samples[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * t));
    }
    std::ofstream(file_, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * sizeof(float)));
    // A short buffer, so the tone is heard at once and the null sink renders in small steps.
    player_ = std::make_unique<ChildProcess>(
        "/usr/bin/pacat",
        std::vector<std::string>{"--playback", "--raw", "--format=float32le", "--rate=48000",
                                 "--channels=2", "--latency-msec=50", "--server=" + server,
                                 "--device=" + sink, file_});
    // Listens to the monitor until it carries the tone.
    const std::string heard = temporaryFile();
    const ChildProcess listener("/usr/bin/pacat",
                                {"--record", "--raw", "--format=s16le", "--latency-msec=20",
                                 "--server=" + server, "--device=" + sink + ".monitor", heard});
    const bool started = within(5, [&] {
        std::ifstream in(heard, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        return bytes.find_first_not_of('\0') != std::string::npos;
    });
    std::remove(heard.c_str());
    if (!started) {
        throw std::runtime_error("the tone did not start");
    }
}

TonePlayer::~TonePlayer() {
    player_.reset();
    std::remove(file_.c_str());
}

}  // namespace tessarin::test
