#include "support/pulse_test_server.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace tessarin::test {

namespace {

// Runs a program with its output discarded; returns its pid.
pid_t spawn(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    return pid;
}

bool accepts(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const bool connected =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

}  // namespace

PulseTestServer::PulseTestServer() {
    char pattern[] = "/tmp/tessarin-sound-XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("mkdtemp failed");
    }
    directory_ = pattern;
    address_ = "unix:" + directory_ + "/native";
    start();
}

PulseTestServer::~PulseTestServer() {
    kill();
    std::filesystem::remove_all(directory_);
}

void PulseTestServer::start() {
    const std::string socketPath = directory_ + "/native";
    // The same set-up as the server the test script starts.
    pid_ = spawn({"/usr/bin/pulseaudio", "-n", "-F", TESSARIN_TEST_DATA_DIR "/sound-server.pa",
                  "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "-L",
                  "module-native-protocol-unix socket=" + socketPath + " auth-anonymous=1"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!accepts(socketPath)) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the private sound server did not start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PulseTestServer::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        std::filesystem::remove(directory_ + "/native");
    }
}

std::optional<std::string> PulseTestServer::shared() {
    const char* address = std::getenv("PULSE_SERVER");
    if (!address || !*address) {
        return std::nullopt;
    }
    return std::string(address);
}

int PulseTestServer::pactl(const std::string& address, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"/usr/bin/pactl", "--server=" + address};
    command.insert(command.end(), arguments.begin(), arguments.end());
    int status = 0;
    waitpid(spawn(command), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tessarin::test
