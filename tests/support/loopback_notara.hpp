#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "core/api/access_token_auth_provider.hpp"
#include "core/api/api_client.hpp"
#include "core/api/segment.hpp"
#include "core/async/clock.hpp"
#include "core/http/url.hpp"
#include "core/json/json_value.hpp"
#include "core/net/beast_http_transport.hpp"
#include "devserver/dev_server.hpp"
#include "devserver/meeting_store.hpp"
#include "devserver/web_api.hpp"

namespace tessarin::test {

// The project's stand-in for the web server and the realtime service, listening on a loopback
// port inside the test: it runs on the test's io_context and clock (its wall-clock dates move with
// that clock), keeps meetings in memory, and takes its fault switches from the test.
class LoopbackNotara {
  public:
    static constexpr const char* accessToken = "dev-token";

    LoopbackNotara(boost::asio::io_context& io, std::shared_ptr<Clock> clock)
        : api_(store_, clock,
               [clock] {
                   return std::chrono::system_clock::time_point(
                       std::chrono::duration_cast<std::chrono::system_clock::duration>(
                           clock->now().time_since_epoch()));
               }),
          server_(DevServer::create(io.get_executor(), clock, api_, DevServer::Limits{})) {
        server_->listen(0);
    }
    ~LoopbackNotara() { server_->stop(); }

    std::string url() const { return server_->url(); }
    APIClient client(boost::asio::io_context& io, std::shared_ptr<Clock> clock) const {
        return APIClient(std::make_shared<AccessTokenAuthProvider>(*URL::parse(url()), accessToken),
                         std::make_shared<BeastHTTPTransport>(io.get_executor(), clock));
    }
    // Changes fault switches, e.g. {"appendFaultShare": 1, "appendFaultStatus": 503}, or drops
    // every realtime connection ({"dropNow": true}), through the control endpoint's handler.
    void set(const JSONValue& switches) {
        const WebAPI::Reply reply =
            api_.handle({"POST", "/control", "", "application/json", *switches.serialized()});
        if (reply.status != 200) {
            throw std::invalid_argument("bad switches: " + reply.body);
        }
    }
    std::vector<Segment> segments(const std::string& meetingID) const {
        const auto meeting = store_.meeting(meetingID);
        return meeting ? meeting->segments : std::vector<Segment>{};
    }
    bool finished(const std::string& meetingID) const {
        const auto meeting = store_.meeting(meetingID);
        return meeting && meeting->finishedAt.has_value();
    }
    const DevCounters& counters() { return api_.counters(); }

  private:
    MeetingStore store_{":memory:"};
    WebAPI api_;
    std::shared_ptr<DevServer> server_;
};

}  // namespace tessarin::test
