#pragma once

#include <string_view>

namespace tessarin {

// Diagnostics: each message goes to the system log and to standard error as
// "tessarin-helper: <message>". Standard output carries protocol lines only.
// Safe from any thread; takes no lock (each message is one write).
class HelperLog {
  public:
    explicit HelperLog(int fd, bool useSystemLog = true);

    void log(std::string_view message) const;

  private:
    int fd_;
    bool useSystemLog_;
};

}  // namespace tessarin
