#include <gtest/gtest.h>

#include "core/transcript/echo_dedupe.hpp"

namespace tessarin {
namespace {

using Tokens = std::vector<std::string>;
using EchoDedupe::Decision;

TEST(EchoDedupe, TokensFoldAndSplitSoThatBothSidesTranscriptsMatch) {
    // clang-format off
    const std::pair<std::string, Tokens> cases[] = {
        {"Don’t STOP—now!", {"dont", "stop", "now"}},
        {"Café RÉSUMÉ naïve Ångström", {"cafe", "resume", "naive", "angstrom"}},
        {"ＯＫ　ＬＥＴ'Ｓ　ＧＯ １２３", {"ok", "lets", "go", "123"}},  // full width
        {"ｶﾞｷﾞ ガギ", {"カ", "キ", "カ", "キ"}},  // half-width kana with a separate voiced mark
        {"こんにちは、世界。", {"こ", "ん", "に", "ち", "は", "世", "界"}},
        {"abc日本語def", {"abc", "日", "本", "語", "def"}},
        {"สวัสดีครับ", {"ส", "ว", "ส", "ด", "ค", "ร", "บ"}},  // a syllable with its marks is one
        {"안녕하세요 world", {"안", "녕", "하", "세", "요", "world"}},
        {"great 👍🏽 job 🎉👨‍👩‍👧", {"great", "job"}}, {"Straße STRASSE İstanbul", {"strasse", "strasse", "istanbul"}},
        {"ΟΔΟΣ οδός", {"οδοσ", "οδοσ"}}, {"... !? — «»", {}}, {"", {}},
        {"Don't STOP, now! 42nd e-mail 3.14 #1 x_y ~tab\there\r\nA'B'C ''",
         {"dont", "stop", "now", "42nd", "e", "mail", "3", "14", "1", "x", "y", "tab", "here", "abc"}}};
    // clang-format on
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(EchoDedupe::tokens(text), expected) << text;
        // One character past ASCII takes the general path, which must agree with the shortcut.
        auto general = EchoDedupe::tokens(text + " é");
        general.pop_back();
        EXPECT_EQ(general, expected) << text;
    }
    const std::vector<EchoDedupe::Word> words{{"yes,", {"yes"}},      {"I", {"i"}},
                                              {"think", {"think"}},   {"so…", {"so"}},
                                              {"日本", {"日", "本"}}, {"ok", {"ok"}}};
    EXPECT_EQ(EchoDedupe::words(" yes, I — think\tso…  !!\u00a0日本\u3000ok "), words);
    EXPECT_NO_THROW(EchoDedupe::words("ok \xff\xfe broken \xc3"));
}

// The tokens of `a` in one longest common subsequence; on ties `a`'s token is skipped first.
TEST(EchoDedupe, LcsMaskMarksTheChosenSubsequence) {
    // clang-format off
    const std::tuple<Tokens, Tokens, std::vector<bool>> cases[] = {
        {{}, {}, {}}, {{}, {"a"}, {}}, {{"a", "b"}, {}, {false, false}}, {{"a", "b"}, {"a", "b"}, {true, true}},
        {{"a", "b"}, {"c", "d"}, {false, false}}, {{"x", "y"}, {"y", "x"}, {false, true}}, {{"the", "the"}, {"the"}, {true, false}},
        {{"a", "b", "c", "d"}, {"b", "x", "d"}, {false, true, false, true}},
        {{"yes", "can", "you", "hear", "me"}, {"can", "you", "hear", "me", "now"}, {false, true, true, true, true}}};
    // clang-format on
    for (const auto& [a, b, expected] : cases) {
        EXPECT_EQ(EchoDedupe::lcsMask(a, b), expected) << testing::PrintToString(a);
    }
}

Segment me(std::string text, std::int64_t startedMs = 10000, std::int64_t endedMs = 14000) {
    return Segment{0, startedMs, endedMs, Speaker::me, std::move(text)};
}

Segment them(std::string text, std::int64_t startedMs = 10000, std::int64_t endedMs = 14000,
             std::int64_t seq = 0) {
    return Segment{seq, startedMs, endedMs, Speaker::them, std::move(text)};
}

TEST(EchoDedupe, DecideKeepsTrimsOrDropsTheMeSegment) {
    const Decision keep = Decision::keep(), drop = Decision::drop();
    const auto trim = &Decision::trim;
    const std::string hear = "can you hear me now", ten = "w0 w1 w2 w3 w4 w5 w6 w7 w8 w9";
    // clang-format off
    const std::tuple<Segment, std::vector<Segment>, Decision> cases[] = {
        {me("Can you hear me now?"), {them(hear)}, drop},
        {me("yes I think so, " + hear), {them(hear)}, trim("yes I think so,")},
        {me("yes " + hear), {them(hear)}, drop},  // too few own words left
        {me("we agree fully one two three four five six seven eight"),
         {them("one two three four five six seven eight")}, drop},  // too small a share left
        {me(ten), {them("w0 w1 w2 w3 w4 w5 w6 x7 x8 x9")}, trim("w7 w8 w9")},
        {me(ten), {them("w0 w1 w2 w3 w4 w5 x6 x7 x8 x9")}, keep},
        {me("okay"), {them("okay let's start the meeting")}, keep},  // short: half the longer too
        {me("Okay."), {them("okay")}, drop},
        {me("can you"), {them("can you hear me")}, drop}, {me("can you"), {them(hear)}, keep},
        {me("can you hear"), {them(hear + " please now ok")}, drop},
        {me("I don’t know, let’s check the numbers again"), {them("let's check the numbers")},
         trim("I don’t know, again")},
        {me("こんにちは、元気ですか"), {them("こんにちは 元気ですか？")}, drop},
        {me("... ?!"), {them("... ?!")}, keep}, {me("hello there"), {}, keep},
        {them(hear), {them(hear)}, keep}, {me(hear), {me(hear)}, keep},
        {me(hear), {them(hear, 5000, 8500)}, drop}, {me(hear), {them(hear, 5000, 8499)}, keep},
        {me(hear), {them(hear, 15500, 17000)}, drop}, {me(hear), {them(hear, 15501, 17000)}, keep},
        // Candidates are joined in the order they were spoken: by start, then by seq.
        {me("one two three four five six", 10000, 16000),
         {them("four five six", 13000, 16000), them("one two three", 10000, 13000)}, drop},
        {me("one two three four five six", 10000, 16000),
         {them("four five six", 10000, 16000, 2), them("one two three", 10000, 13000, 1)}, drop}};
    // clang-format on
    for (const auto& [segment, candidates, expected] : cases) {
        EXPECT_EQ(EchoDedupe::decide(segment, candidates), expected) << segment.text;
    }
    EchoDedupe::Config narrow;
    narrow.toleranceMs = 0;
    const std::vector justBefore{them(ten, 0, 9999)};
    EXPECT_EQ(EchoDedupe::decide(me(ten), justBefore, narrow), keep);
    EXPECT_EQ(EchoDedupe::decide(me(ten), justBefore), drop);
}

// At most a million token pairs are compared: 101 x 9901 is one pair over.
TEST(EchoDedupe, JudgesUpToTheBoundOnComparedTokenPairsAndKeepsAboveIt) {
    auto numbered = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += "w" + std::to_string(i) + " ";
        }
        return text;
    };
    for (const auto& [meTokens, themTokens, expected] :
         {std::tuple{1000, 1000, Decision::drop()}, std::tuple{100, 9901, Decision::drop()},
          std::tuple{101, 9901, Decision::keep()}, std::tuple{9901, 101, Decision::keep()}}) {
        const std::vector heard{them(numbered(themTokens), 0, 60000)};
        EXPECT_EQ(EchoDedupe::decide(me(numbered(meTokens), 0, 60000), heard), expected)
            << meTokens << " x " << themTokens;
    }
}

}  // namespace
}  // namespace tessarin
