#include "app/helper_log.hpp"

#include <syslog.h>
#include <unistd.h>
#include <string>

namespace tessarin {

HelperLog::HelperLog(int fd, bool useSystemLog) : fd_(fd), useSystemLog_(useSystemLog) {
    if (useSystemLog_) {
        openlog("tessarin-helper", LOG_PID, LOG_USER);
    }
}

void HelperLog::log(std::string_view message) const {
    if (useSystemLog_) {
        syslog(LOG_INFO, "%.*s", static_cast<int>(message.size()), message.data());
    }
    std::string line = "tessarin-helper: ";
    line.append(message);
    line.push_back('\n');
    // One write per message; a failed diagnostic write has nowhere better to go.
    [[maybe_unused]] const ssize_t written = ::write(fd_, line.data(), line.size());
}

}  // namespace tessarin
