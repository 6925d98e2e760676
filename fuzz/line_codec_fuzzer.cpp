// One input line through the protocol codec: whatever decodes re-encodes to a line that decodes to
// the same request, and every failure gives a well-formed answer line carrying the line's id.
#include <algorithm>

#include "fuzz_support.hpp"
#include "recording/server/helper_codec.hpp"

using namespace tessarin;

namespace {

// Numbers compare by value: the writer puts an integral double as "5", which reads back as an int.
bool same(const JSONValue& a, const JSONValue& b) {
    if (a.isNumber() && b.isNumber() && a.kind() != b.kind()) {
        return a.numberValue() == b.numberValue();
    }
    if (a.kind() != b.kind()) {
        return false;
    }
    if (const auto* items = a.arrayValue()) {
        const auto* others = b.arrayValue();
        return std::equal(items->begin(), items->end(), others->begin(), others->end(), same);
    }
    if (const auto* members = a.objectValue()) {
        const auto* others = b.objectValue();
        return std::equal(members->begin(), members->end(), others->begin(), others->end(),
                          [](const auto& x, const auto& y) {
                              return x.first == y.first && same(x.second, y.second);
                          });
    }
    return a == b;
}

// The answer line is one line of JSON whose "id" is the given one.
void requireAnswerFor(const std::string& line, const JSONValue& id) {
    require(isOneLine(line), "an answer is one line");
    const auto answer = JSONValue::parse(line);
    const JSONValue* echoed = answer ? answer->member("id") : nullptr;
    require(echoed && same(*echoed, id), "an answer carries the request's id");
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
    const std::string line = HelperCodec::encode(
        JSONValue::object({{"cmd", request.cmd}, {"id", request.id}, {"params", request.params}}));
    require(isOneLine(line), "a request encodes to one line");
    const auto again = HelperCodec::decode(line);
    const auto* redecoded = std::get_if<HelperRequest>(&again);
    require(redecoded && redecoded->id == request.id && redecoded->cmd == request.cmd &&
                same(redecoded->params, request.params),
            "a re-encoded request decodes to the same request");
    requireAnswerFor(HelperCodec::success(request.id, request.params), request.id);
    return 0;
}
