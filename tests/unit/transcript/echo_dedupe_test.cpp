#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/transcript/echo_dedupe.hpp"

namespace tessarin {
namespace {

using Tokens = std::vector<std::string>;
using EchoDedupe::Decision;

struct TokensCase {
    std::string text;
    Tokens expected;
};

void PrintTo(const TokensCase& c, std::ostream* os) {
    *os << c.text;
}

class EchoTokens : public testing::TestWithParam<TokensCase> {};

TEST_P(EchoTokens, FoldAndSplitAsTheTranscriptsOfBothSidesNeedToMatch) {
    EXPECT_EQ(EchoDedupe::tokens(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Multilingual, EchoTokens,
    testing::Values(
        TokensCase{"Don’t STOP—now!", {"dont", "stop", "now"}},
        TokensCase{"don't DON'T don’t", {"dont", "dont", "dont"}},
        TokensCase{"Café RÉSUMÉ naïve Ångström", {"cafe", "resume", "naive", "angstrom"}},
        // Full-width letters, digits and the ideographic space.
        TokensCase{"ＯＫ　ＬＥＴ'Ｓ　ＧＯ １２３", {"ok", "lets", "go", "123"}},
        // Half-width katakana with a separate voiced mark folds like the full-width kana.
        TokensCase{"ｶﾞｷﾞ ガギ", {"カ", "キ", "カ", "キ"}},
        TokensCase{"こんにちは、世界。", {"こ", "ん", "に", "ち", "は", "世", "界"}},
        TokensCase{"abc日本語def", {"abc", "日", "本", "語", "def"}},
        // A Thai syllable with its vowel marks is one character.
        TokensCase{"สวัสดีครับ", {"ส", "ว", "ส", "ด", "ค", "ร", "บ"}},
        TokensCase{"안녕하세요 world", {"안", "녕", "하", "세", "요", "world"}},
        TokensCase{"great 👍🏽 job 🎉👨‍👩‍👧", {"great", "job"}},
        TokensCase{"Straße STRASSE İstanbul", {"strasse", "strasse", "istanbul"}},
        TokensCase{"ΟΔΟΣ οδός", {"οδοσ", "οδοσ"}},
        TokensCase{"e-mail 3.14 #1", {"e", "mail", "3", "14", "1"}}, TokensCase{"... !? — «»", {}},
        TokensCase{"", {}}, TokensCase{"   \t\n", {}}));

// Plain ASCII text takes a shortcut; it must give what the general path gives.
TEST(EchoTokensOfASCII, MatchTheGeneralPath) {
    const std::string ascii = "Don't STOP, now! 42nd e-mail #1 x_y ~tab\there\r\nA'B'C ''";
    auto general = EchoDedupe::tokens(ascii + " é");
    ASSERT_EQ(general.back(), "e");
    general.pop_back();
    EXPECT_EQ(EchoDedupe::tokens(ascii), general);
    EXPECT_EQ(general, (Tokens{"dont", "stop", "now", "42nd", "e", "mail", "1", "x", "y", "tab",
                               "here", "abc"}));
}

TEST(EchoWords, KeepTheOriginalTextAndSkipPiecesWithoutTokens) {
    const auto words = EchoDedupe::words(" yes, I — think\tso…  !!\u00a0日本\u3000ok ");
    const std::vector<EchoDedupe::Word> expected{
        {"yes,", {"yes"}}, {"I", {"i"}},           {"think", {"think"}},
        {"so…", {"so"}},   {"日本", {"日", "本"}}, {"ok", {"ok"}},
    };
    EXPECT_EQ(words, expected);
}

TEST(EchoWords, OfInvalidUTF8DoNotThrow) {
    EXPECT_NO_THROW(EchoDedupe::words("ok \xff\xfe broken \xc3"));
}

struct MaskCase {
    Tokens a;
    Tokens b;
    std::vector<bool> expected;
};

void PrintTo(const MaskCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.a) << " vs " << testing::PrintToString(c.b);
}

class EchoLcsMask : public testing::TestWithParam<MaskCase> {};

TEST_P(EchoLcsMask, MarksTheChosenSubsequence) {
    EXPECT_EQ(EchoDedupe::lcsMask(GetParam().a, GetParam().b), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    TieBreaks, EchoLcsMask,
    testing::Values(
        // Equal lengths either way: the token of `a` is skipped first, so the later one matches.
        MaskCase{{"x", "y"}, {"y", "x"}, {false, true}},
        MaskCase{{"the", "the"}, {"the"}, {true, false}},
        MaskCase{{"a", "b", "c", "d"}, {"b", "x", "d"}, {false, true, false, true}},
        MaskCase{{"yes", "can", "you", "hear", "me"},
                 {"can", "you", "hear", "me", "now"},
                 {false, true, true, true, true}},
        MaskCase{{"a", "b"}, {}, {false, false}}, MaskCase{{}, {"a"}, {}}));

Segment meSegment(std::string text, std::int64_t startedMs = 10000, std::int64_t endedMs = 14000) {
    return Segment{0, startedMs, endedMs, Speaker::me, std::move(text)};
}

Segment themSegment(std::string text, std::int64_t startedMs = 10000, std::int64_t endedMs = 14000,
                    std::int64_t seq = 0) {
    return Segment{seq, startedMs, endedMs, Speaker::them, std::move(text)};
}

struct DecideCase {
    std::string name;
    Segment me;
    std::vector<Segment> them;
    Decision expected;
};

void PrintTo(const DecideCase& c, std::ostream* os) {
    *os << c.name;
}

class EchoDecide : public testing::TestWithParam<DecideCase> {};

TEST_P(EchoDecide, JudgesTheMeSegment) {
    EXPECT_EQ(EchoDedupe::decide(GetParam().me, GetParam().them), GetParam().expected);
}

std::string caseName(const testing::TestParamInfo<DecideCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, EchoDecide,
    testing::Values(
        DecideCase{"FullEchoIsDropped",
                   meSegment("Can you hear me now?"),
                   {themSegment("can you hear me now")},
                   Decision::drop()},
        DecideCase{"OwnWordsBeforeAnEchoSurviveWithTheirPunctuation",
                   meSegment("yes I think so, can you hear me now"),
                   {themSegment("can you hear me now")},
                   Decision::trim("yes I think so,")},
        DecideCase{"TooFewOwnWordsLeftIsDropped",
                   meSegment("yes can you hear me now"),
                   {themSegment("can you hear me now")},
                   Decision::drop()},
        DecideCase{"OwnWordsBelowTheMinimumShareAreDropped",
                   meSegment("we agree fully one two three four five six seven eight"),
                   {themSegment("one two three four five six seven eight")},
                   Decision::drop()},
        // 7 of 10 matched (exactly minOverlap) and 3 of 10 kept (exactly trimMinTokens and
        // trimMinShare): each threshold is inclusive.
        DecideCase{"ThresholdsAreInclusive",
                   meSegment("w0 w1 w2 w3 w4 w5 w6 w7 w8 w9"),
                   {themSegment("w0 w1 w2 w3 w4 w5 w6 x7 x8 x9")},
                   Decision::trim("w7 w8 w9")},
        DecideCase{"SixOfTenMatchedIsNotAnEcho",
                   meSegment("w0 w1 w2 w3 w4 w5 w6 w7 w8 w9"),
                   {themSegment("w0 w1 w2 w3 w4 w5 x6 x7 x8 x9")},
                   Decision::keep()},
        DecideCase{"ShortReplyToALongerSentenceIsKept",
                   meSegment("okay"),
                   {themSegment("okay let's start the meeting")},
                   Decision::keep()},
        DecideCase{"ShortEchoOfAShortSentenceIsDropped",
                   meSegment("Okay."),
                   {themSegment("okay")},
                   Decision::drop()},
        DecideCase{"TwoWordsAgainstFiveIsKept",
                   meSegment("yes okay"),
                   {themSegment("yes okay sure thing now")},
                   Decision::keep()},
        DecideCase{"CurlyAndStraightApostrophesAgree",
                   meSegment("I don’t know, let’s check the numbers again"),
                   {themSegment("let's check the numbers")},
                   Decision::trim("I don’t know, again")},
        DecideCase{"JapaneseEchoIsDropped",
                   meSegment("こんにちは、元気ですか"),
                   {themSegment("こんにちは 元気ですか？")},
                   Decision::drop()},
        DecideCase{"FullWidthEchoIsDropped",
                   meSegment("ＯＫ　ＬＥＴ’Ｓ　ＧＯ"),
                   {themSegment("ok let's go")},
                   Decision::drop()},
        DecideCase{"AccentsAndCaseDoNotHideAnEcho",
                   meSegment("LE CAFÉ EST FERMÉ"),
                   {themSegment("le cafe est ferme")},
                   Decision::drop()},
        DecideCase{"KoreanOwnSpeechIsKept",
                   meSegment("네 좋아요 감사합니다"),
                   {themSegment("회의를 시작하겠습니다")},
                   Decision::keep()},
        DecideCase{"PunctuationOnlyIsKept",
                   meSegment("... ?!"),
                   {themSegment("... ?!")},
                   Decision::keep()},
        DecideCase{"EmojiOnlyIsKept", meSegment("👍 🎉"), {themSegment("👍 🎉")}, Decision::keep()},
        DecideCase{"NothingToCompareIsKept", meSegment("hello there"), {}, Decision::keep()},
        DecideCase{"ASegmentOfThemPassedAsMeIsKept",
                   Segment{0, 10000, 14000, Speaker::them, "can you hear me now"},
                   {themSegment("can you hear me now")},
                   Decision::keep()},
        DecideCase{"MeSegmentsAmongTheCandidatesAreIgnored",
                   meSegment("can you hear me now"),
                   {Segment{0, 10000, 14000, Speaker::me, "can you hear me now"}},
                   Decision::keep()},
        DecideCase{"ThemEndingJustInsideTheToleranceIsCompared",
                   meSegment("can you hear me now"),
                   {themSegment("can you hear me now", 5000, 8500)},
                   Decision::drop()},
        DecideCase{"ThemEndingJustOutsideTheToleranceIsNot",
                   meSegment("can you hear me now"),
                   {themSegment("can you hear me now", 5000, 8400)},
                   Decision::keep()},
        DecideCase{"ThemStartingJustInsideTheToleranceAfterIsCompared",
                   meSegment("can you hear me now"),
                   {themSegment("can you hear me now", 15500, 17000)},
                   Decision::drop()},
        DecideCase{"ThemStartingJustOutsideTheToleranceAfterIsNot",
                   meSegment("can you hear me now"),
                   {themSegment("can you hear me now", 15501, 17000)},
                   Decision::keep()},
        // Given out of order, the candidates are still joined in the order they were spoken.
        DecideCase{"CandidatesAreJoinedByStartTime",
                   meSegment("one two three four five six", 10000, 16000),
                   {themSegment("four five six", 13000, 16000),
                    themSegment("one two three", 10000, 13000)},
                   Decision::drop()},
        DecideCase{"EqualStartsAreJoinedBySeq",
                   meSegment("one two three four five six", 10000, 16000),
                   {themSegment("four five six", 10000, 16000, 2),
                    themSegment("one two three", 10000, 13000, 1)},
                   Decision::drop()}),
    caseName);

TEST(EchoDecide, UsesTheGivenConfig) {
    EchoDedupe::Config strict;
    strict.minOverlap = 0.95;
    const Segment me = meSegment("w0 w1 w2 w3 w4 w5 w6 w7 w8 w9");
    const std::vector<Segment> them{themSegment("w0 w1 w2 w3 w4 w5 w6 w7 w8 x9")};
    EXPECT_EQ(EchoDedupe::decide(me, them, strict), Decision::keep());

    EchoDedupe::Config narrow;
    narrow.toleranceMs = 0;
    const std::vector<Segment> justBefore{themSegment("w0 w1 w2 w3 w4 w5 w6 w7 w8 w9", 0, 9999)};
    EXPECT_EQ(EchoDedupe::decide(me, justBefore, narrow), Decision::keep());
    EXPECT_EQ(EchoDedupe::decide(me, justBefore), Decision::drop());
}

}  // namespace
}  // namespace tessarin
