// tessarin-helper-scripted: the helper for process tests of whole recordings. It is the production
// helper except for its capture: the microphone and system audio play the raw 24 kHz PCM16 files
// named by TESSARIN_TEST_MIC_PCM and TESSARIN_TEST_SYSTEM_PCM (nothing when unset), in 100 ms
// buffers at ten times real speed, and microphone access is granted. Built only with the tests.

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "app/helper_process.hpp"
#include "recording/server/helper_environment.hpp"
#include "support/scripted_capture.hpp"

namespace {

using namespace tessarin;

std::vector<std::uint8_t> fileNamedBy(const char* variable) {
    const char* path = std::getenv(variable);
    if (!path) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::shared_ptr<test::ScriptedCapture> playing(const char* variable) {
    auto device = std::make_shared<test::ScriptedCapture>();
    const auto pieces = test::piecesOf(fileNamedBy(variable), 4800);
    device->onStart = [device = device.get(), pieces] {
        device->play(pieces, std::chrono::milliseconds(10));
    };
    return device;
}

void useScriptedCapture(HelperEnvironment& env) {
    env.micStatus = [] { return CapturePermission::Status::granted; };
    env.requestMic = []() -> Awaitable<bool> { co_return true; };
    auto mic = playing("TESSARIN_TEST_MIC_PCM");
    auto system = playing("TESSARIN_TEST_SYSTEM_PCM");
    env.pipeline.makeMic = [mic](bool, AudioSource::AudioCallback audio,
                                 AudioSource::InterruptionCallback interruptions) {
        return mic->open(std::move(audio), std::move(interruptions));
    };
    env.pipeline.makeSystem = [system](AudioSource::AudioCallback audio,
                                       AudioSource::InterruptionCallback interruptions) {
        return system->open(std::move(audio), std::move(interruptions));
    };
}

}  // namespace

int main(int argc, char** argv) {
    return HelperProcess::main(argc, argv, useScriptedCapture);
}
