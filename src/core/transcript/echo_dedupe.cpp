#include "core/transcript/echo_dedupe.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <stdexcept>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "core/text/unicode_text.hpp"

namespace tessarin::EchoDedupe {

namespace {

struct Normalizers {
    const icu::Normalizer2* nfd;
    const icu::Normalizer2* nfc;
    const icu::Normalizer2* nfkd;
};

const Normalizers& normalizers() {
    static const Normalizers instances = [] {
        UErrorCode status = U_ZERO_ERROR;
        Normalizers n{icu::Normalizer2::getNFDInstance(status),
                      icu::Normalizer2::getNFCInstance(status),
                      icu::Normalizer2::getNFKDInstance(status)};
        if (U_FAILURE(status)) {
            throw std::runtime_error("ICU normalisation data is unavailable");
        }
        return n;
    }();
    return instances;
}

// One grapheme iterator per thread: making one loads the break rules, which costs more than
// tokenising a sentence.
icu::BreakIterator& graphemeIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !made) {
            throw std::runtime_error("ICU grapheme break rules are unavailable");
        }
        return made;
    }();
    return *iterator;
}

bool hasWidthVariant(UChar32 c) {
    const auto type = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
    return type == U_DT_WIDE || type == U_DT_NARROW;
}

// Full-width and half-width forms replaced by their ordinary counterparts (Ａ to A, ｶ to カ).
void foldWidth(icu::UnicodeString& text) {
    int32_t first = 0;
    while (first < text.length() && !hasWidthVariant(text.char32At(first))) {
        first += U16_LENGTH(text.char32At(first));
    }
    if (first == text.length()) {
        return;
    }
    icu::UnicodeString folded(text, 0, first);
    for (int32_t i = first; i < text.length();) {
        const UChar32 c = text.char32At(i);
        i += U16_LENGTH(c);
        icu::UnicodeString decomposition;
        if (hasWidthVariant(c) && normalizers().nfkd->getDecomposition(c, decomposition)) {
            folded += decomposition;
        } else {
            folded += c;
        }
    }
    text = std::move(folded);
}

// The text without its non-spacing marks (accents, dakuten, Thai vowel signs...).
icu::UnicodeString withoutMarks(const icu::UnicodeString& decomposed) {
    std::u16string bare;
    bare.reserve(static_cast<std::size_t>(decomposed.length()));
    const char16_t* units = decomposed.getBuffer();
    for (int32_t i = 0; i < decomposed.length();) {
        const int32_t start = i;
        UChar32 c;
        U16_NEXT(units, i, decomposed.length(), c);
        if (u_charType(c) != U_NON_SPACING_MARK) {
            bare.append(units + start, units + i);
        }
    }
    return icu::UnicodeString(bare.data(), static_cast<int32_t>(bare.size()));
}

// Case-, diacritic- and width-insensitive form of a text, independent of any locale.
icu::UnicodeString fold(std::string_view text) {
    icu::UnicodeString folded =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), text.size()));
    foldWidth(folded);
    folded.foldCase(U_FOLD_CASE_DEFAULT);

    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString composed = normalizers().nfc->normalize(
        withoutMarks(normalizers().nfd->normalize(folded, status)), status);
    if (U_FAILURE(status)) {
        throw std::runtime_error("ICU could not normalise a transcript text");
    }
    return composed;
}

// Scripts written without spaces between words: each character counts as a word of its own.
bool isStandaloneScalar(UChar32 c) {
    return (c >= 0x0E00 && c <= 0x0E7F) ||  // Thai
           (c >= 0x3040 && c <= 0x30FF) ||  // Hiragana and Katakana
           (c >= 0x3400 && c <= 0x4DBF) ||  // CJK Extension A
           (c >= 0x4E00 && c <= 0x9FFF) ||  // CJK Unified Ideographs
           (c >= 0xAC00 && c <= 0xD7AF) ||  // Hangul syllables
           (c >= 0xF900 && c <= 0xFAFF);    // CJK Compatibility Ideographs
}

enum class CharacterRole { standalone, wordPart, apostrophe, separator };

CharacterRole roleOf(const icu::UnicodeString& text, int32_t begin, int32_t end) {
    for (int32_t i = begin; i < end;) {
        const UChar32 c = text.char32At(i);
        i += U16_LENGTH(c);
        if (isStandaloneScalar(c)) {
            return CharacterRole::standalone;
        }
    }
    // A character's kind is that of its base scalar; what follows it only modifies it.
    const UChar32 base = text.char32At(begin);
    if ((U_GET_GC_MASK(base) & (U_GC_L_MASK | U_GC_N_MASK)) != 0) {
        return CharacterRole::wordPart;
    }
    if (base == 0x0027 || base == 0x2019) {
        return CharacterRole::apostrophe;
    }
    return CharacterRole::separator;
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The same tokens as the general path for text that is all ASCII, where folding is lower-casing
// and every byte is a character of its own, without the cost of ICU (most transcripts are this).
std::vector<std::string> asciiTokens(std::string_view text) {
    std::vector<std::string> result;
    std::string word;
    for (const char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            word += c;
        } else if (c >= 'A' && c <= 'Z') {
            word += static_cast<char>(c - 'A' + 'a');
        } else if (c != '\'') {
            if (!word.empty()) {
                result.push_back(std::move(word));
                word.clear();
            }
        }
    }
    if (!word.empty()) {
        result.push_back(std::move(word));
    }
    return result;
}

}  // namespace

std::vector<std::string> tokens(std::string_view text) {
    if (isASCII(text)) {
        return asciiTokens(text);
    }
    std::vector<std::string> result;
    const icu::UnicodeString folded = fold(text);
    icu::BreakIterator& characters = graphemeIterator();
    characters.setText(folded);

    icu::UnicodeString word;
    auto emitWord = [&] {
        if (!word.isEmpty()) {
            result.push_back(utf8(word));
            word.remove();
        }
    };
    int32_t begin = characters.first();
    for (int32_t end = characters.next(); end != icu::BreakIterator::DONE;
         begin = end, end = characters.next()) {
        switch (roleOf(folded, begin, end)) {
            case CharacterRole::standalone:
                emitWord();
                result.push_back(utf8(icu::UnicodeString(folded, begin, end - begin)));
                break;
            case CharacterRole::wordPart:
                word.append(folded, begin, end - begin);
                break;
            case CharacterRole::apostrophe:
                break;  // don't and don’t are the same word as dont
            case CharacterRole::separator:
                emitWord();
                break;
        }
    }
    emitWord();
    return result;
}

std::vector<Word> words(std::string_view text) {
    std::vector<Word> result;
    for (const std::string_view piece : UnicodeText::splitWhitespace(text)) {
        std::vector<std::string> pieceTokens = tokens(piece);
        if (!pieceTokens.empty()) {
            result.push_back(Word{std::string(piece), std::move(pieceTokens)});
        }
    }
    return result;
}

std::vector<bool> lcsMask(std::span<const std::string> a, std::span<const std::string> b) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    std::vector<bool> mask(n, false);
    if (n == 0 || m == 0) {
        return mask;
    }
    // lengths[i * width + j]: the LCS length of the suffixes a[i...] and b[j...].
    const std::size_t width = m + 1;
    std::vector<std::uint32_t> lengths((n + 1) * width, 0);
    auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& {
        return lengths[i * width + j];
    };
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            at(i, j) = a[i] == b[j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
        }
    }
    for (std::size_t i = 0, j = 0; i < n && j < m;) {
        if (a[i] == b[j]) {
            mask[i] = true;
            ++i;
            ++j;
        } else if (at(i + 1, j) >= at(i, j + 1)) {
            ++i;
        } else {
            ++j;
        }
    }
    return mask;
}

namespace {

std::vector<const Segment*> candidatesNear(const Segment& me, std::span<const Segment> them,
                                           std::int64_t toleranceMs) {
    std::vector<const Segment*> candidates;
    for (const Segment& segment : them) {
        if (segment.speaker == Speaker::them && segment.startedMs <= me.endedMs + toleranceMs &&
            segment.endedMs >= me.startedMs - toleranceMs) {
            candidates.push_back(&segment);
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Segment* l, const Segment* r) {
        return l->startedMs != r->startedMs ? l->startedMs < r->startedMs : l->seq < r->seq;
    });
    return candidates;
}

}  // namespace

Decision decide(const Segment& me, std::span<const Segment> them, const Config& config) {
    if (me.speaker != Speaker::me) {
        return Decision::keep();
    }
    const std::vector<const Segment*> candidates = candidatesNear(me, them, config.toleranceMs);
    if (candidates.empty()) {
        return Decision::keep();
    }

    const std::vector<Word> meWords = words(me.text);
    std::vector<std::string> meTokens;
    for (const Word& word : meWords) {
        meTokens.insert(meTokens.end(), word.tokens.begin(), word.tokens.end());
    }
    std::vector<std::string> themTokens;
    for (const Segment* candidate : candidates) {
        for (Word& word : words(candidate->text)) {
            std::move(word.tokens.begin(), word.tokens.end(), std::back_inserter(themTokens));
        }
    }
    if (meTokens.empty() || themTokens.empty() ||
        meTokens.size() > maxComparedPairs / themTokens.size()) {
        return Decision::keep();
    }

    const std::vector<bool> mask = lcsMask(meTokens, themTokens);
    const auto matched = static_cast<double>(std::count(mask.begin(), mask.end(), true));
    const auto shorter = static_cast<double>(std::min(meTokens.size(), themTokens.size()));
    const auto longer = static_cast<double>(std::max(meTokens.size(), themTokens.size()));
    if (matched / shorter < config.minOverlap) {
        return Decision::keep();
    }
    if (shorter < static_cast<double>(config.shortTokens) &&
        matched / longer < config.shortMinOverlapOfLonger) {
        return Decision::keep();
    }

    // An echo at least in part: keep only the words none of whose tokens were matched.
    std::string kept;
    std::size_t keptTokens = 0;
    std::size_t flag = 0;
    for (const Word& word : meWords) {
        const auto first = mask.begin() + static_cast<std::ptrdiff_t>(flag);
        const bool echoed =
            std::any_of(first, first + static_cast<std::ptrdiff_t>(word.tokens.size()),
                        [](bool f) { return f; });
        flag += word.tokens.size();
        if (!echoed) {
            if (!kept.empty()) {
                kept += ' ';
            }
            kept += word.original;
            keptTokens += word.tokens.size();
        }
    }
    if (static_cast<std::int64_t>(keptTokens) < config.trimMinTokens) {
        return Decision::drop();
    }
    if (static_cast<double>(keptTokens) / static_cast<double>(meTokens.size()) >=
        config.trimMinShare) {
        return Decision::trim(std::move(kept));
    }
    return Decision::drop();
}

}  // namespace tessarin::EchoDedupe
