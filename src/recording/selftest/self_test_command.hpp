#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "recording/selftest/self_test.hpp"

namespace tessarin {

// `tessarin-helper --selftest [--seconds N] [--echo-cancellation]`: runs the self-test on the live
// sources, prints a meter line a second and a summary, and exits 0 when it passed, 1 when not and
// 2 on a usage error.
class SelfTestCommand {
  public:
    struct Options {
        int seconds = 8;
        bool echoCancellation = false;
    };

    static constexpr std::string_view usage =
        "usage: tessarin-helper --selftest [--seconds 1-60] [--echo-cancellation]\n";

    // The options in the arguments after the program name ("--selftest" among them); nothing when
    // --seconds lacks a whole number from 1 to 60.
    static std::optional<Options> parse(std::span<const std::string> arguments);

    // Runs the command: lines to standard output, the usage to standard error. The exit status.
    static int run(std::span<const std::string> arguments);

    // "  3s  mic ██████████·········· 0.50   system ···················· 0.00"
    static std::string secondLine(const SelfTest::Second& second);
    // 20 characters: round(level x 20) full blocks, the rest middle dots.
    static std::string bar(double level);
    // The lines after the run: each device with its rate, then the report.
    static std::string summary(const SelfTest::Report& report);
};

}  // namespace tessarin
