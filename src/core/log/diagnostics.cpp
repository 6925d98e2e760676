#include "core/log/diagnostics.hpp"

#include <unistd.h>
#include <mutex>
#include <string>

namespace tessarin {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

Diagnostics::Sink& currentSink() {
    static Diagnostics::Sink sink;
    return sink;
}

void writeToStandardError(std::string_view message) {
    std::string line = "tessarin-helper: ";
    line.append(message);
    line.push_back('\n');
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

void Diagnostics::log(std::string_view message) {
    const std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(message);
    } else {
        writeToStandardError(message);
    }
}

void Diagnostics::setSink(Sink sink) {
    const std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}

}  // namespace tessarin
