#include "recording/calls/input_stream_process_source.hpp"

#include "recording/calls/linux_app_aliases.hpp"

namespace tessarin {

std::vector<InputProcess> InputStreamProcessSource::processesUsingInput() {
    std::vector<InputProcess> processes;
    for (const InputStream& stream : listStreams_()) {
        std::string bundleID = LinuxAppAliases::bundleID(stream);
        if (!bundleID.empty()) {
            processes.push_back({stream.pid, std::move(bundleID)});
        }
    }
    return processes;
}

}  // namespace tessarin
