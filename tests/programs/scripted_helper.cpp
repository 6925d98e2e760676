// tessarin-helper-scripted: the production helper for process tests of whole recordings, except
// that its microphone (granted) and system audio play the raw 24 kHz PCM16 files named by
// TESSARIN_TEST_MIC_PCM and TESSARIN_TEST_SYSTEM_PCM (nothing when unset), in 100 ms buffers at
// ten times real speed. Built only with the tests.

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "app/helper_process.hpp"
#include "recording/server/helper_environment.hpp"
#include "support/scripted_capture.hpp"

namespace {

using namespace tessarin;

// A source factory whose every source plays the file named by `variable` once started.
template <class... Flags>
auto playing(const char* variable) {
    const char* path = std::getenv(variable);
    std::ifstream file(path ? path : "/dev/null", std::ios::binary);
    const auto pieces = test::piecesOf({std::istreambuf_iterator<char>(file), {}}, 4800);
    auto device = std::make_shared<test::ScriptedCapture>();
    device->onStart = [device = device.get(), pieces] {
        device->play(pieces, std::chrono::milliseconds(10));
    };
    return [device](Flags..., AudioSource::AudioCallback audio,
                    AudioSource::InterruptionCallback interruptions) {
        return device->open(std::move(audio), std::move(interruptions));
    };
}

}  // namespace

int main(int argc, char** argv) {
    return HelperProcess::main(argc, argv, [](HelperEnvironment& env) {
        env.micStatus = [] { return CapturePermission::Status::granted; };
        env.requestMic = []() -> Awaitable<bool> { co_return true; };
        env.pipeline.makeMic = playing<bool>("TESSARIN_TEST_MIC_PCM");
        env.pipeline.makeSystem = playing<>("TESSARIN_TEST_SYSTEM_PCM");
    });
}
