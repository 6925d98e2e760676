// One input line through the protocol codec: whatever decodes re-encodes to a line that decodes to
// the same request, and every failure gives a well-formed answer line carrying the line's id.
#include "fuzz_support.hpp"
#include "recording/server/helper_codec.hpp"

using namespace tessarin;

namespace {

// The answer line is one line of JSON whose "id" is the given one.
void requireAnswerFor(const std::string& line, const JSONValue& id) {
    require(isOneLine(line), "an answer is one line");
    const auto answer = JSONValue::parse(line);
    const JSONValue* echoed = answer ? answer->member("id") : nullptr;
    require(echoed && echoed->serialized() == id.serialized(),
            "an answer carries the request's id");
}

// Numbers are written by value (an integral double as "5", read back as an integer), so requests
// compare by their encoding.
std::string encoded(const HelperRequest& request) {
    return HelperCodec::encode(
        JSONValue::object({{"cmd", request.cmd}, {"id", request.id}, {"params", request.params}}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded = HelperCodec::decode(textOf(data, size));
    if (const auto* failure = std::get_if<HelperCodec::DecodeFailure>(&decoded)) {
        requireAnswerFor(HelperCodec::failure(failure->id, HelperError("bad_request", "x")),
                         failure->id);
        return 0;
    }
    const auto& request = std::get<HelperRequest>(decoded);
    require(!request.cmd.empty() && request.params.isObject(), "a request has a cmd and params");
    const std::string line = encoded(request);
    require(isOneLine(line), "a request encodes to one line");
    const auto again = HelperCodec::decode(line);
    const auto* redecoded = std::get_if<HelperRequest>(&again);
    require(redecoded && encoded(*redecoded) == line,
            "a re-encoded request decodes to the same request");
    requireAnswerFor(HelperCodec::success(request.id, request.params), request.id);
    return 0;
}
