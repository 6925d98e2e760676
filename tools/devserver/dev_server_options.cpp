#include "devserver/dev_server_options.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

#include "devserver/fault_switches.hpp"

namespace tessarin {

namespace {

enum class Kind { text, seconds, number, integer, countOrAlways };

struct SwitchFlag {
    std::string_view flag;
    std::string_view key;
    Kind kind;
};

constexpr SwitchFlag switchFlags[] = {
    {"--access-token", "accessToken", Kind::text},
    {"--token-lifetime", "tokenLifetimeMs", Kind::seconds},
    {"--drop-every", "dropEveryMs", Kind::seconds},
    {"--outage", "outageMs", Kind::seconds},
    {"--append-fault-share", "appendFaultShare", Kind::number},
    {"--append-fault-status", "appendFaultStatus", Kind::integer},
    {"--refuse-tokens", "refuseTokens", Kind::countOrAlways},
    {"--delay-ms", "delayMs", Kind::integer},
    {"--seed", "seed", Kind::integer},
};

template <class Number>
Number numberOf(std::string_view flag, const std::string& text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        throw std::invalid_argument(std::string(flag) + " needs a number, not \"" + text + "\"");
    }
    return value;
}

JSONValue switchValue(const SwitchFlag& flag, const std::string& text) {
    switch (flag.kind) {
        case Kind::text:
            return JSONValue(text);
        case Kind::seconds: {
            const double seconds = numberOf<double>(flag.flag, text);
            if (!(seconds >= 0.0 && seconds < 1e9)) {
                throw std::invalid_argument(std::string(flag.flag) + " is out of range");
            }
            return JSONValue(static_cast<std::int64_t>(std::llround(seconds * 1000.0)));
        }
        case Kind::number:
            return JSONValue(numberOf<double>(flag.flag, text));
        case Kind::integer:
            return JSONValue(numberOf<std::int64_t>(flag.flag, text));
        case Kind::countOrAlways:
            return text == "always" ? JSONValue(true)
                                    : JSONValue(numberOf<std::int64_t>(flag.flag, text));
    }
    return nullptr;
}

}  // namespace

DevServerOptions DevServerOptions::parse(std::span<const std::string> arguments) {
    DevServerOptions options;
    bool help = false;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string& flag = arguments[at];
        if (flag == "--help" || flag == "-h") {
            help = true;
            continue;
        }
        if (flag == "--json") {
            options.json = true;
            continue;
        }
        if (!flag.starts_with("--")) {
            throw std::invalid_argument("Unexpected argument " + flag);
        }
        if (at + 1 == arguments.size()) {
            throw std::invalid_argument(flag + " needs a value");
        }
        const std::string& value = arguments[++at];
        if (flag == "--port") {
            options.port = numberOf<std::uint16_t>(flag, value);
        } else if (flag == "--db") {
            options.database = value;
        } else if (flag == "--show") {
            options.mode = Mode::show;
            options.meeting = value;
        } else {
            const SwitchFlag* known = nullptr;
            for (const SwitchFlag& candidate : switchFlags) {
                known = candidate.flag == flag ? &candidate : known;
            }
            if (!known) {
                throw std::invalid_argument("Unknown option " + flag);
            }
            options.switches.objectValue()->insert_or_assign(std::string(known->key),
                                                             switchValue(*known, value));
        }
    }
    if (help) {
        options.mode = Mode::help;
    }
    // Values out of range are refused here, before the server has touched anything.
    FaultSwitches().apply(options.switches, Clock::TimePoint{});
    return options;
}

const char* DevServerOptions::usage() {
    return R"(Usage: tessarin-devserver [options]
       tessarin-devserver --show MEETING [--db FILE] [--json]

A local stand-in for the web server and the realtime transcription service, on 127.0.0.1.
Prints {"event":"ready","port":N,"url":"http://127.0.0.1:N"} on standard output when ready.
Its transcripts only describe the audio ("[speech 2.4 s, -21 dBFS]"): it recognises no speech.

  --port N                  port to listen on (0, the default: any free port)
  --db FILE                 SQLite file of meetings and segments (default tessarin-devserver.db)
  --show MEETING            print a stored meeting and its segments, then exit
  --json                    with --show: print one JSON object
  --access-token TOKEN      bearer token the API accepts (default dev-token)
  --token-lifetime S        lifetime of realtime keys in seconds (default 300)
Faults (also switchable at run time: POST /control with a JSON object; GET /control reads
the switches and the counters):
  --drop-every S            drop each realtime connection S seconds after it opened
  --outage S                refuse realtime upgrades for S seconds after every drop
  --append-fault-share P    answer this share (0-1) of segment appends with the status below
  --append-fault-status N   status for those appends (default 503; a 4xx is a refusal)
  --refuse-tokens N|always  answer the next N token requests (or all) with 401
  --delay-ms N              delay every answer by N ms
  --seed N                  seed of the random choices (default 1)
)";
}

}  // namespace tessarin
