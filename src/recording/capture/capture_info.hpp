#pragma once

#include <optional>
#include <string>

namespace tessarin {

// What a capture source can tell about the device it records (shown by the self-test).
class CaptureInfo {
  public:
    virtual ~CaptureInfo() = default;

    // The device's native rate once started.
    virtual std::optional<double> sampleRate() const = 0;
    virtual std::optional<std::string> deviceName() const = 0;
    virtual bool voiceProcessingActive() const = 0;
};

}  // namespace tessarin
