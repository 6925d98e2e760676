#include "support/pulse_test_server.hpp"

#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

TonePlayer::TonePlayer(const std::string& server, const std::string& sink, int frequency)
    : server_(server) {
    // Listens to the monitor until it carries the tone, and on: a listener asking for a short
    // latency makes the null sink render in small steps.
    close(mkstemp(file_.data()));
    listener_ = std::make_unique<ChildProcess>(
        "/usr/bin/pacat",
        std::vector<std::string>{"--record", "--raw", "--format=s16le", "--rate=8000",
                                 "--channels=1", "--latency-msec=20", "--server=" + server,
                                 "--device=" + sink + ".monitor", file_});
    ChildProcess load("/usr/bin/pactl", {"--server=" + server, "load-module", "module-sine",
                                         "sink=" + sink, "frequency=" + std::to_string(frequency)});
    const auto index = load.readLines(1);
    if (load.wait() != 0 || index.empty()) {
        throw std::runtime_error("the tone did not load: " + load.errorOutput());
    }
    module_ = index[0];
    const bool started = within(5, [&] {
        std::ifstream in(file_, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        return bytes.find_first_not_of('\0') != std::string::npos;
    });
    if (!started) {
        throw std::runtime_error("the tone did not start");
    }
}

TonePlayer::~TonePlayer() {
    listener_.reset();
    std::remove(file_.c_str());
    PulseTestServer::pactl(server_, {"unload-module", module_});
}

}  // namespace tessarin::test
