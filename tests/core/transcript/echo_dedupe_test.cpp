#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/transcript/echo_dedupe.hpp"

namespace tessarin {
namespace {

using Tokens = std::vector<std::string>;
using EchoDedupe::Decision;

TEST(EchoDedupeTest, TokensFoldAndSplitAsTheTranscriptsOfBothSidesNeedToMatch) {
    const std::pair<std::string, Tokens> cases[] = {
        {"Don’t STOP—now!", {"dont", "stop", "now"}},
        {"Café RÉSUMÉ naïve Ångström", {"cafe", "resume", "naive", "angstrom"}},
        // Full-width letters, digits and the ideographic space.
        {"ＯＫ　ＬＥＴ'Ｓ　ＧＯ １２３", {"ok", "lets", "go", "123"}},
        // Half-width katakana with a separate voiced mark folds like the full-width kana.
        {"ｶﾞｷﾞ ガギ", {"カ", "キ", "カ", "キ"}},
        {"こんにちは、世界。", {"こ", "ん", "に", "ち", "は", "世", "界"}},
        {"abc日本語def", {"abc", "日", "本", "語", "def"}},
        // A Thai syllable with its vowel marks is one character.
        {"สวัสดีครับ", {"ส", "ว", "ส", "ด", "ค", "ร", "บ"}},
        {"안녕하세요 world", {"안", "녕", "하", "세", "요", "world"}},
        {"great 👍🏽 job 🎉👨‍👩‍👧", {"great", "job"}},
        {"Straße STRASSE İstanbul", {"strasse", "strasse", "istanbul"}},
        {"ΟΔΟΣ οδός", {"οδοσ", "οδοσ"}},
        {"e-mail 3.14 #1", {"e", "mail", "3", "14", "1"}},
        {"... !? — «»", {}},
        {"", {}},
        {"Don't STOP, now! 42nd e-mail #1 x_y ~tab\there\r\nA'B'C ''",
         {"dont", "stop", "now", "42nd", "e", "mail", "1", "x", "y", "tab", "here", "abc"}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(EchoDedupe::tokens(text), expected) << text;
        // Plain ASCII takes a shortcut; a character beyond it sends the text down the general
        // path, which must agree.
        auto general = EchoDedupe::tokens(text + " é");
        general.pop_back();
        EXPECT_EQ(general, expected) << text;
    }
}

TEST(EchoDedupeTest, WordsKeepTheOriginalTextAndSkipPiecesWithoutTokens) {
    const std::vector<EchoDedupe::Word> expected{
        {"yes,", {"yes"}}, {"I", {"i"}},           {"think", {"think"}},
        {"so…", {"so"}},   {"日本", {"日", "本"}}, {"ok", {"ok"}},
    };
    EXPECT_EQ(EchoDedupe::words(" yes, I — think\tso…  !!\u00a0日本\u3000ok "), expected);
    EXPECT_NO_THROW(EchoDedupe::words("ok \xff\xfe broken \xc3"));
}

TEST(EchoDedupeTest, LcsMaskMarksTheChosenSubsequence) {
    const std::tuple<Tokens, Tokens, std::vector<bool>> cases[] = {
        // Equal lengths either way: the token of `a` is skipped first, so the later one matches.
        {{"x", "y"}, {"y", "x"}, {false, true}},
        {{"the", "the"}, {"the"}, {true, false}},
        {{"a", "b", "c", "d"}, {"b", "x", "d"}, {false, true, false, true}},
        {{"yes", "can", "you", "hear", "me"},
         {"can", "you", "hear", "me", "now"},
         {false, true, true, true, true}},
        {{"a", "b"}, {}, {false, false}},
        {{}, {"a"}, {}},
    };
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

TEST(EchoDedupeTest, DecideJudgesTheMeSegment) {
    const Decision keep = Decision::keep();
    const Decision drop = Decision::drop();
    const auto trim = &Decision::trim;
    const std::string hear = "can you hear me now";
    const std::string tenWords = "w0 w1 w2 w3 w4 w5 w6 w7 w8 w9";
    const std::tuple<const char*, Segment, std::vector<Segment>, Decision> cases[] = {
        {"a full echo is dropped", me("Can you hear me now?"), {them(hear)}, drop},
        {"own words before an echo survive with their punctuation",
         me("yes I think so, " + hear),
         {them(hear)},
         trim("yes I think so,")},
        {"too few own words left is dropped", me("yes " + hear), {them(hear)}, drop},
        {"own words below the minimum share are dropped",
         me("we agree fully one two three four five six seven eight"),
         {them("one two three four five six seven eight")},
         drop},
        // 7 of 10 matched (exactly minOverlap) and 3 of 10 kept (exactly trimMinTokens and
        // trimMinShare): each threshold is inclusive.
        {"thresholds are inclusive",
         me(tenWords),
         {them("w0 w1 w2 w3 w4 w5 w6 x7 x8 x9")},
         trim("w7 w8 w9")},
        {"six of ten is no echo", me(tenWords), {them("w0 w1 w2 w3 w4 w5 x6 x7 x8 x9")}, keep},
        {"short reply to a long sentence",
         me("okay"),
         {them("okay let's start the meeting")},
         keep},
        {"a short echo of a short sentence is dropped", me("Okay."), {them("okay")}, drop},
        // Three tokens are no longer short: all matched is enough, however long the other side.
        {"three tokens are not short", me("can you hear"), {them(hear + " please now ok")}, drop},
        {"curly and straight apostrophes agree",
         me("I don’t know, let’s check the numbers again"),
         {them("let's check the numbers")},
         trim("I don’t know, again")},
        {"Japanese echo", me("こんにちは、元気ですか"), {them("こんにちは 元気ですか？")}, drop},
        {"punctuation only is kept", me("... ?!"), {them("... ?!")}, keep},
        {"nothing to compare is kept", me("hello there"), {}, keep},
        {"a segment of them passed as me is kept", them(hear), {them(hear)}, keep},
        {"me segments among the candidates are ignored", me(hear), {me(hear)}, keep},
        {"ends inside the tolerance", me(hear), {them(hear, 5000, 8500)}, drop},
        {"ends outside the tolerance", me(hear), {them(hear, 5000, 8400)}, keep},
        {"starts inside the tolerance", me(hear), {them(hear, 15500, 17000)}, drop},
        {"starts outside the tolerance", me(hear), {them(hear, 15501, 17000)}, keep},
        // Given out of order, the candidates are still joined in the order they were spoken.
        {"candidates are joined by start time",
         me("one two three four five six", 10000, 16000),
         {them("four five six", 13000, 16000), them("one two three", 10000, 13000)},
         drop},
        {"equal starts are joined by seq",
         me("one two three four five six", 10000, 16000),
         {them("four five six", 10000, 16000, 2), them("one two three", 10000, 13000, 1)},
         drop}};
    for (const auto& [name, segment, candidates, expected] : cases) {
        EXPECT_EQ(EchoDedupe::decide(segment, candidates), expected) << name;
    }
    EchoDedupe::Config narrow;
    narrow.toleranceMs = 0;
    const std::vector justBefore{them(tenWords, 0, 9999)};
    EXPECT_EQ(EchoDedupe::decide(me(tenWords), justBefore, narrow), keep);
    EXPECT_EQ(EchoDedupe::decide(me(tenWords), justBefore), drop);
}

// A decision compares at most a million token pairs: 1000 x 1000 and 100 x 9901 are judged (full
// echoes), while 101 x 9901, one pair over, is kept unjudged either way round.
TEST(EchoDedupeTest, JudgesUpToTheBoundOnComparedTokenPairsAndKeepsAboveIt) {
    auto numbered = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += "w" + std::to_string(i) + " ";
        }
        return text;
    };
    const std::tuple<int, int, Decision> cases[] = {{1000, 1000, Decision::drop()},
                                                    {100, 9901, Decision::drop()},
                                                    {101, 9901, Decision::keep()},
                                                    {9901, 101, Decision::keep()}};
    for (const auto& [meTokens, themTokens, expected] : cases) {
        const std::vector heard{them(numbered(themTokens), 0, 60000)};
        EXPECT_EQ(EchoDedupe::decide(me(numbered(meTokens), 0, 60000), heard), expected)
            << meTokens << " x " << themTokens;
    }
}

}  // namespace
}  // namespace tessarin
