#pragma once

#include <string>
#include <string_view>

namespace tessarin {

// Small UTF-8 helpers shared by the protocol and the transcript code. Every "white space" here is
// Unicode's White_Space property (which includes the line breaks).
namespace UnicodeText {

bool isValidUTF8(std::string_view text);

// The text with ill-formed UTF-8 sequences replaced by U+FFFD; the same text when it is well
// formed.
std::string repairUTF8(std::string_view text);

// The text without leading and trailing Unicode white space. Ill-formed bytes are not white space.
std::string_view trimWhitespace(std::string_view text);

// True when the text is empty or all Unicode white space.
bool isBlank(std::string_view text);

}  // namespace UnicodeText

}  // namespace tessarin
