#pragma once

#include <functional>
#include <vector>

#include "recording/calls/input_process_source.hpp"
#include "recording/calls/input_stream.hpp"

namespace tessarin {

// The processes using the microphone, read from the record streams open on the sound server:
// one entry per stream that counts, named through the Linux aliases of the application table.
class InputStreamProcessSource final : public InputProcessSource {
  public:
    using ListStreams = std::function<std::vector<InputStream>()>;

    explicit InputStreamProcessSource(ListStreams listStreams)
        : listStreams_(std::move(listStreams)) {}

    // Throws when the streams cannot be listed.
    std::vector<InputProcess> processesUsingInput() override;

  private:
    ListStreams listStreams_;
};

}  // namespace tessarin
