#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// The non-empty pieces between runs of Unicode white space, in order; views into `text`.
// Ill-formed bytes are not white space.
std::vector<std::string_view> splitWhitespace(std::string_view text);

// The pieces of `splitWhitespace` joined by single spaces: outer white space gone, inner runs
// collapsed to one space.
std::string collapseWhitespace(std::string_view text);

}  // namespace UnicodeText

}  // namespace tessarin
