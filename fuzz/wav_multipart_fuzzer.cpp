// Arbitrary audio and upload fields through the WAV and multipart builders: every header field
// reads back as given and the upload parses back into the fields it was built from.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdexcept>

#include "core/api/api_client.hpp"
#include "core/audio/wav.hpp"
#include "devserver/multipart_form.hpp"
#include "fuzz_support.hpp"

using namespace tessarin;

namespace {

// The little-endian number of `size` bytes at `at`.
std::uint64_t field(const std::vector<std::uint8_t>& bytes, std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
    }
    return value;
}

std::vector<std::uint8_t> wavOrPCM(std::span<const std::uint8_t> pcm, int rate, int channels) {
    try {
        auto file = WAV::encode(pcm, rate, channels);
        const auto r = static_cast<std::uint64_t>(rate), c = static_cast<std::uint64_t>(channels);
        require(field(file, 4, 4) == file.size() - 8 && field(file, 40, 4) == pcm.size() &&
                    field(file, 22, 2) == c && field(file, 24, 4) == r &&
                    field(file, 28, 4) == r * c * 2 && field(file, 32, 2) == c * 2,
                "every WAV header field reads back as given, none wrapped around");
        require(
            file.size() == 44 + pcm.size() && std::equal(pcm.begin(), pcm.end(), file.begin() + 44),
            "the WAV carries the PCM");
        return file;
    } catch (const std::invalid_argument&) {
        return {pcm.begin(), pcm.end()};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int rate = input.ConsumeIntegral<int>();
    const int channels = input.ConsumeIntegral<int>();
    const auto seq = input.ConsumeIntegral<std::int64_t>();
    const auto startedMs = input.ConsumeIntegral<std::int64_t>();
    const auto endedMs = input.ConsumeIntegral<std::int64_t>();
    const Speaker speaker = input.ConsumeBool() ? Speaker::me : Speaker::them;
    std::optional<std::string> language;
    if (input.ConsumeBool()) {
        language = input.ConsumeRandomLengthString();
    }
    const auto pcm = input.ConsumeRemainingBytes<std::uint8_t>();
    const auto wav = wavOrPCM(pcm, rate, channels);

    // A real boundary is 96 random bits, so content that holds it is no case to build for.
    const std::string boundary = "tess-fuzz0123456789ab";
    const std::string_view wavText(reinterpret_cast<const char*>(wav.data()), wav.size());
    if (wavText.find(boundary) != std::string_view::npos ||
        (language && language->find(boundary) != std::string::npos)) {
        return 0;
    }
    const auto body =
        APIClient::audioChunkBody(boundary, wav, seq, startedMs, endedMs, speaker, language);
    const auto form = MultipartForm::parse("multipart/form-data; boundary=" + boundary,
                                           textOf(body.data(), body.size()));
    require(form.field("seq") == std::to_string(seq) &&
                form.field("startedMs") == std::to_string(startedMs) &&
                form.field("endedMs") == std::to_string(endedMs) &&
                form.field("speaker") == speakerName(speaker) &&
                form.optionalField("language") == language,
            "the upload's fields read back as given");
    const auto* file = form.part("file");
    require(file && file->body == wavText && file->contentType == "audio/wav" &&
                file->filename == "chunk-" + std::to_string(seq) + ".wav",
            "the upload's file reads back as given");
    return 0;
}
