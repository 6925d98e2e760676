// tessarin-devserver: the web server and the realtime service on one loopback port, so the helper
// can be seen doing its whole job on one machine without an account or a network.

#include <csignal>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "core/async/steady_clock.hpp"
#include "core/log/diagnostics.hpp"
#include "devserver/dev_server.hpp"
#include "devserver/dev_server_options.hpp"
#include "devserver/meeting_report.hpp"
#include "devserver/meeting_store.hpp"
#include "devserver/web_api.hpp"

namespace {

using namespace tessarin;

int show(const DevServerOptions& options) {
    const MeetingStore store(options.database);
    const auto meeting = store.meeting(options.meeting);
    if (!meeting) {
        std::cerr << "tessarin-devserver: no meeting " << options.meeting << " in "
                  << options.database << "\n";
        return 1;
    }
    if (options.json) {
        std::cout << MeetingReport::json(*meeting).serialized().value_or("{}") << "\n";
    } else {
        std::cout << MeetingReport::text(*meeting);
    }
    return 0;
}

int serve(const DevServerOptions& options) {
    boost::asio::io_context io;
    auto clock = std::make_shared<SteadyClock>();
    MeetingStore store(options.database);
    WebAPI api(store, clock, [] { return std::chrono::system_clock::now(); });
    api.switches().apply(options.switches, clock->now());
    auto server = DevServer::create(io.get_executor(), clock, api, DevServer::Limits{});
    // Caught before the ready line: whoever starts us may stop us as soon as it reads it.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&server](const boost::system::error_code& error, int) {
        if (!error) {
            server->stop();
        }
    });
    server->listen(options.port);

    const JSONValue ready =
        JSONValue::object({{"event", "ready"}, {"port", server->port()}, {"url", server->url()}});
    std::cout << ready.serialized().value_or("{}") << std::endl;
    io.run();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Clients may hang up while an answer is being written.
    std::signal(SIGPIPE, SIG_IGN);
    Diagnostics::setSink([](std::string_view message) {
        std::cerr << "tessarin-devserver: " << message << std::endl;
    });
    DevServerOptions options;
    try {
        options = DevServerOptions::parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& bad) {
        std::cerr << "tessarin-devserver: " << bad.what() << "\n\n" << DevServerOptions::usage();
        return 2;
    }
    try {
        switch (options.mode) {
            case DevServerOptions::Mode::help:
                std::cout << DevServerOptions::usage();
                return 0;
            case DevServerOptions::Mode::show:
                return show(options);
            case DevServerOptions::Mode::serve:
                return serve(options);
        }
    } catch (const std::exception& failure) {
        std::cerr << "tessarin-devserver: " << failure.what() << "\n";
    }
    return 1;
}
