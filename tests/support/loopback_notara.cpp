#include "support/loopback_notara.hpp"

#include <stdexcept>

#include "core/api/access_token_auth_provider.hpp"
#include "core/http/url.hpp"
#include "core/net/beast_http_transport.hpp"

namespace tessarin::test {

LoopbackNotara::LoopbackNotara(boost::asio::io_context& io, std::shared_ptr<Clock> clock)
    : api_(store_, clock,
           [clock] {
               // Wall-clock dates move with the test's clock.
               return std::chrono::system_clock::time_point(
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(
                       clock->now().time_since_epoch()));
           }),
      server_(DevServer::create(io.get_executor(), clock, api_, DevServer::Limits{})) {
    server_->listen(0);
}

LoopbackNotara::~LoopbackNotara() {
    server_->stop();
}

APIClient LoopbackNotara::client(boost::asio::io_context& io, std::shared_ptr<Clock> clock) const {
    auto auth = std::make_shared<AccessTokenAuthProvider>(*URL::parse(url()), accessToken);
    return APIClient(auth, std::make_shared<BeastHTTPTransport>(io.get_executor(), clock));
}

void LoopbackNotara::set(const JSONValue& switches) {
    // Through the control endpoint's handler, which also carries out "dropNow".
    const WebAPI::Reply reply =
        api_.handle({"POST", "/control", "", "application/json", *switches.serialized()});
    if (reply.status != 200) {
        throw std::invalid_argument("bad switches: " + reply.body);
    }
}

std::vector<Segment> LoopbackNotara::segments(const std::string& meetingID) const {
    const auto meeting = store_.meeting(meetingID);
    return meeting ? meeting->segments : std::vector<Segment>{};
}

bool LoopbackNotara::finished(const std::string& meetingID) const {
    const auto meeting = store_.meeting(meetingID);
    return meeting && meeting->finishedAt.has_value();
}

}  // namespace tessarin::test
