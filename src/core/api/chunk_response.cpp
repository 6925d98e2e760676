#include "core/api/chunk_response.hpp"

#include "core/api/decoding_error.hpp"
#include "core/api/json_fields.hpp"
#include "core/api/transcript_coding.hpp"

namespace tessarin {

ChunkResponse ChunkResponse::decode(const JSONValue& value) {
    const JSONValue* segment = value.member("segment");
    if (!segment) {
        return ChunkResponse{};
    }
    try {
        return ChunkResponse{TranscriptCoding::decodeSegment(*segment)};
    } catch (const DecodingError&) {
        return ChunkResponse{};
    }
}

}  // namespace tessarin
