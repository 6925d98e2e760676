#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/api/segment.hpp"

namespace tessarin {

// Decides whether a finished `me` segment is the user's own speech, an echo of what the other
// side said (picked up by the microphone from the loudspeakers), or a mixture of both. A pure
// function of texts and times.
//
// Texts are compared as sequences of folded word tokens through their longest common
// subsequence, so word order counts while gaps, insertions and small recognition differences are
// tolerated.
namespace EchoDedupe {

// The most token pairs one decision compares (the size of its LCS table). Sentences around the
// same few seconds are far below it (a 30 s turn against 33 s of the other side is under 100 000
// pairs, even in scripts with a token per character); at the bound the table takes 4 MB and a few
// milliseconds of the executor. Anything larger is not judged: it is kept.
inline constexpr std::size_t maxComparedPairs = 1'000'000;

struct Config {
    // How far (ms) a `them` segment may lie outside the `me` segment's span and still be compared.
    std::int64_t toleranceMs = 1500;
    // Share of the shorter token sequence that must be matched to call it an echo.
    double minOverlap = 0.7;
    // A comparison whose shorter sequence has fewer tokens than this is "short"...
    std::int64_t shortTokens = 3;
    // ...and must also match this share of the longer sequence.
    double shortMinOverlapOfLonger = 0.5;
    // A trimmed segment keeps at least this many unmatched tokens...
    std::int64_t trimMinTokens = 3;
    // ...and at least this share of its tokens; otherwise it is dropped.
    double trimMinShare = 0.3;
};

struct Decision {
    enum class Kind { trim, keep, drop };

    Kind kind = Kind::keep;
    // The replacement text when `kind` is trim; empty otherwise.
    std::string text;

    static Decision trim(std::string text) { return {Kind::trim, std::move(text)}; }
    static Decision keep() { return {Kind::keep, {}}; }
    static Decision drop() { return {Kind::drop, {}}; }

    bool operator==(const Decision&) const = default;
};

struct Word {
    // The word exactly as written, punctuation included.
    std::string original;
    // Its normalised tokens; never empty.
    std::vector<std::string> tokens;

    bool operator==(const Word&) const = default;
};

// The normalised tokens of a text (folded for case, diacritics and width; CJK, kana, Thai and
// Hangul characters one token each). May be empty.
std::vector<std::string> tokens(std::string_view text);

// The white-space separated words of a text that have at least one token, with their tokens.
std::vector<Word> words(std::string_view text);

// One flag per element of `a`: true where it belongs to the longest common subsequence with `b`
// (on ties the element of `a` is skipped first).
std::vector<bool> lcsMask(std::span<const std::string> a, std::span<const std::string> b);

// Keeps the segment when the two token sequences make more than `maxComparedPairs` pairs.
Decision decide(const Segment& me, std::span<const Segment> them, const Config& config = {});

}  // namespace EchoDedupe

}  // namespace tessarin
