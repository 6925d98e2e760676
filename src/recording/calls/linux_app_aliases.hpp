#pragma once

#include <string>
#include <string_view>

#include "recording/calls/input_stream.hpp"

namespace tessarin {

// How Linux names the conferencing applications and browsers of the application table: native
// binaries, Flatpak and Snap identifiers. The table itself (`CallApps`) speaks the canonical
// identifiers.
namespace LinuxAppAliases {

// The canonical identifier a Linux identifier stands for (ignoring case); the identifier itself
// when it has no alias.
std::string canonical(std::string_view identifier);

// The identifier a stream's application counts as: the first of its application, sandbox and
// binary identifiers (in that order of trust) that names a known application, else the first one
// it has. Empty when the stream does not count as using the microphone: volume meters, paused
// streams and streams that record what is played.
std::string bundleID(const InputStream& stream);

}  // namespace LinuxAppAliases

}  // namespace tessarin
