#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/async/clock.hpp"
#include "core/json/json_value.hpp"
#include "devserver/dev_counters.hpp"
#include "devserver/fault_switches.hpp"
#include "devserver/meeting_store.hpp"
#include "devserver/realtime_keys.hpp"

namespace tessarin {

// The web server's endpoints that a recording uses, the control endpoint of the fault switches, and
// the admission rule of realtime upgrades, without the sockets: a request in, a reply out. Errors
// are JSON bodies of the form {"error": {"code": …, "message": …}} with the status a real server
// would send: 400 for a body it cannot read, 401 without the right bearer token, 404 for unknown
// paths (and for finishing a meeting never used), 405 for a wrong method.
class WebAPI {
  public:
    struct Request {
        std::string method;
        std::string target;
        std::string authorization;
        std::string contentType;
        std::string body;
    };

    struct Reply {
        int status = 200;
        std::string body;  // always JSON
        std::vector<std::pair<std::string, std::string>> headers{};
        // How long to hold the answer back (the delay switch; never for the control endpoint).
        Clock::Duration delay{};

        static Reply json(int status, const JSONValue& body);
        static Reply error(int status, std::string_view code, std::string_view message);
    };

    using WallClock = std::function<std::chrono::system_clock::time_point()>;

    WebAPI(MeetingStore& store, std::shared_ptr<Clock> clock, WallClock wallClock);

    // Where minted keys are to be used; known once the server listens.
    void setRealtimeURL(std::string url) { realtimeURL_ = std::move(url); }
    // Called when a control body asks for every realtime connection to be dropped now.
    void onDropNow(std::function<void()> drop) { dropNow_ = std::move(drop); }

    Reply handle(const Request& request);
    // Nothing when a WebSocket upgrade may go ahead, else the refusal to answer it with.
    std::optional<Reply> refuseUpgrade(const Request& request);

    FaultSwitches& switches() { return switches_; }
    DevCounters& counters() { return counters_; }

  private:
    Reply answer(const Request& request);
    Reply route(const Request& request);
    Reply control(const Request& request);
    Reply transcriptionToken(const std::string& meeting, const Request& request);
    Reply audioChunk(const std::string& meeting, const Request& request);
    Reply segments(const std::string& meeting, const Request& request);
    Reply finish(const std::string& meeting);
    bool authorized(const Request& request);
    std::string now() const;

    MeetingStore& store_;
    std::shared_ptr<Clock> clock_;
    WallClock wallClock_;
    FaultSwitches switches_;
    DevCounters counters_;
    RealtimeKeys keys_;
    std::string realtimeURL_;
    std::function<void()> dropNow_;
};

}  // namespace tessarin
