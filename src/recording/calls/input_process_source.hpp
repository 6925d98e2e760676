#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessarin {

// A process that is using audio input.
struct InputProcess {
    std::int32_t pid = -1;  // -1 when it could not be read
    std::string bundleID;   // empty when the process has none

    bool operator==(const InputProcess&) const = default;
};

// Lists the processes that are using audio input right now.
class InputProcessSource {
  public:
    virtual ~InputProcessSource() = default;
    virtual std::vector<InputProcess> processesUsingInput() = 0;
};

}  // namespace tessarin
