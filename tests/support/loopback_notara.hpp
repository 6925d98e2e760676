#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/api/api_client.hpp"
#include "core/api/segment.hpp"
#include "core/async/clock.hpp"
#include "core/json/json_value.hpp"
#include "devserver/dev_server.hpp"
#include "devserver/meeting_store.hpp"
#include "devserver/web_api.hpp"

namespace tessarin::test {

// The project's stand-in for the web server and the realtime service, listening on a loopback
// port inside the test: it runs on the test's io_context and clock, keeps meetings in memory, and
// takes its fault switches from the test.
class LoopbackNotara {
  public:
    static constexpr const char* accessToken = "dev-token";

    LoopbackNotara(boost::asio::io_context& io, std::shared_ptr<Clock> clock);
    ~LoopbackNotara();

    std::string url() const { return server_->url(); }
    // An API client for it with the accepted token, on `io` and `clock`.
    APIClient client(boost::asio::io_context& io, std::shared_ptr<Clock> clock) const;
    // Changes fault switches, e.g. {"appendFaultShare": 1, "appendFaultStatus": 503}, or drops
    // every realtime connection ({"dropNow": true}).
    void set(const JSONValue& switches);

    std::vector<Segment> segments(const std::string& meetingID) const;
    bool finished(const std::string& meetingID) const;
    const DevCounters& counters() { return api_.counters(); }

  private:
    MeetingStore store_{":memory:"};
    WebAPI api_;
    std::shared_ptr<DevServer> server_;
};

}  // namespace tessarin::test
