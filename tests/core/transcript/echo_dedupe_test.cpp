#include <gtest/gtest.h>

#include "core/transcript/echo_dedupe.hpp"

namespace tessarin {
namespace {

using Tokens = std::vector<std::string>;
using EchoDedupe::Decision;

TEST(EchoDedupe, TokensFoldAndSplitSoThatBothSidesTranscriptsMatch) {
    // clang-format off
    const std::pair<std::string, Tokens> cases[] = {
        {"Café RÉSUMÉ naïve Ångström", {"cafe", "resume", "naive", "angstrom"}},
        {"ＯＫ　ＬＥＴ'Ｓ　ＧＯ １２３", {"ok", "lets", "go", "123"}},  // full width
        {"ｶﾞｷﾞ ガギ", {"カ", "キ", "カ", "キ"}},  // half-width kana with a separate voiced mark
        {"こんにちは、世界。", {"こ", "ん", "に", "ち", "は", "世", "界"}},
        {"abc日本語def", {"abc", "日", "本", "語", "def"}},
        {"สวัสดีครับ", {"ส", "ว", "ส", "ด", "ค", "ร", "บ"}},  // a syllable with its marks is one
        {"안녕하세요 world", {"안", "녕", "하", "세", "요", "world"}},
        {"great 👍🏽 job 🎉👨‍👩‍👧", {"great", "job"}},
        {"... !? — «»", {}}, {"", {}},
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
}

Segment me(std::string text, std::int64_t startedMs = 10000, std::int64_t endedMs = 14000) {
    return Segment{0, startedMs, endedMs, Speaker::me, std::move(text)};
}

Segment them(std::string text, std::int64_t startedMs = 10000, std::int64_t endedMs = 14000,
             std::int64_t seq = 0) {
    return Segment{seq, startedMs, endedMs, Speaker::them, std::move(text)};
}

std::string numbered(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "w" + std::to_string(i) + " ";
    }
    return text;
}

// At most a million token pairs are compared: 101 x 9901 is one pair over.
TEST(EchoDedupe, DecideKeepsTrimsOrDropsTheMeSegment) {
    const Decision keep = Decision::keep(), drop = Decision::drop();
    const auto trim = &Decision::trim;
    const std::string hear = "can you hear me now", ten = numbered(10);
    // clang-format off
    const std::tuple<Segment, std::vector<Segment>, Decision> cases[] = {
        {me("Can you hear me now?"), {them(hear)}, drop},
        {me("yes I think so, — " + hear), {them(hear)}, trim("yes I think so,")},
        {me("yes " + hear), {them(hear)}, drop},  // too few own words left
        {me("we agree fully one two three four five six seven eight"),
         {them("one two three four five six seven eight")}, drop},  // too small a share left
        {me(ten), {them("w0 w1 w2 w3 w4 w5 w6 x7 x8 x9")}, trim("w7 w8 w9")},  // the edges
        {me(ten), {them("w0 w1 w2 w3 w4 w5 x6 x7 x8 x9")}, keep},
        {me("okay"), {them("okay let's start the meeting")}, keep},  // short: half the longer too
        {me("can you"), {them("can you hear me")}, drop}, {me("can you"), {them(hear)}, keep},
        {me("can you hear"), {them(hear + " please now ok")}, drop},
        {me("I don’t know, let’s check the numbers again"), {them("let's check the numbers")},
         trim("I don’t know, again")},
        {me("... ?!"), {them("... ?!")}, keep}, {me("hello there"), {}, keep},
        {them(hear), {them(hear)}, keep}, {me(hear), {me(hear)}, keep},
        {me(hear), {them(hear, 5000, 8500)}, drop}, {me(hear), {them(hear, 5000, 8499)}, keep},
        {me(hear), {them(hear, 15500, 17000)}, drop}, {me(hear), {them(hear, 15501, 17000)}, keep},
        // Candidates are joined in the order they were spoken: by start, then by seq.
        {me("one two three four five six", 10000, 16000),
         {them("four five six", 13000, 16000), them("one two three", 10000, 13000)}, drop},
        {me("one two three four five six", 10000, 16000),
         {them("four five six", 10000, 16000, 2), them("one two three", 10000, 13000, 1)}, drop},
        {me(numbered(1000), 0, 60000), {them(numbered(1000), 0, 60000)}, drop},
        {me(numbered(101), 0, 60000), {them(numbered(9901), 0, 60000)}, keep},
        {me(numbered(9901), 0, 60000), {them(numbered(101), 0, 60000)}, keep}};
    // clang-format on
    for (const auto& [segment, candidates, expected] : cases) {
        EXPECT_EQ(EchoDedupe::decide(segment, candidates), expected) << segment.text.substr(0, 60);
    }
}

}  // namespace
}  // namespace tessarin
