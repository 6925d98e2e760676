// How long the echo decision takes on the main executor: one sentence-sized `me` segment against
// the `them` segments around it, tokenising a long mixed-script text, and a decision between two
// texts of N tokens each (the largest ones it compares, and far larger ones that it declines).

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/transcript/echo_dedupe.hpp"

namespace {

using tessarin::Segment;
using tessarin::Speaker;

const std::vector<std::string> vocabulary{
    "the",     "quarterly", "numbers", "look",   "good",   "but",   "marketing", "budget",
    "needs",   "another",   "review",  "before", "Friday", "can",   "you",       "share",
    "your",    "screen",    "please",  "I'll",   "send",   "the",   "summary",   "after",
    "meeting", "Café",      "résumé",  "don’t",  "worry",  "about", "it",        "OK,",
};

std::string sentence(int words, int seed) {
    std::string text;
    for (int i = 0; i < words; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += vocabulary[(static_cast<std::size_t>(i) * 7 + static_cast<std::size_t>(seed)) %
                           vocabulary.size()];
    }
    return text;
}

void decideSixtyWordsAgainstTwoHundred(benchmark::State& state) {
    const Segment me{0, 10000, 30000, Speaker::me, sentence(60, 3)};
    std::vector<Segment> them;
    for (int i = 0; i < 10; ++i) {
        them.push_back(
            Segment{i, 9000 + i * 2000, 11000 + i * 2000, Speaker::them, sentence(20, i * 5)});
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessarin::EchoDedupe::decide(me, them));
    }
}
BENCHMARK(decideSixtyWordsAgainstTwoHundred)->Unit(benchmark::kMicrosecond);

void tokensOfTenKilobytesMixedScript(benchmark::State& state) {
    const std::vector<std::string> pieces{
        "Let's review the quarterly numbers, okay? ",
        "Ｆｕｌｌ－ｗｉｄｔｈ ＴＥＸＴ　１２３ ",
        "こんにちは、今日の会議を始めましょう。",
        "สวัสดีครับ ยินดีที่ได้รู้จัก ",
        "안녕하세요 회의를 시작하겠습니다 ",
        "Le café est fermé, n’est-ce pas ? ",
        "Straße ΟΔΟΣ 👍🏽 🎉 ",
    };
    std::string text;
    for (std::size_t i = 0; text.size() < 10 * 1024; ++i) {
        text += pieces[i % pieces.size()];
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessarin::EchoDedupe::tokens(text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(tokensOfTenKilobytesMixedScript)->Unit(benchmark::kMicrosecond);

// Two texts of N different-ish tokens whose LCS is most of them: the table is filled in full.
void decideBetweenTextsOfNTokens(benchmark::State& state) {
    const auto n = static_cast<int>(state.range(0));
    std::string me;
    std::string them;
    for (int i = 0; i < n; ++i) {
        me += "w" + std::to_string(i % 977) + ' ';
        them += "w" + std::to_string((i * 7) % 977) + ' ';
    }
    const std::vector<Segment> heard{Segment{0, 0, 60000, Speaker::them, them}};
    const Segment said{0, 0, 60000, Speaker::me, me};
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessarin::EchoDedupe::decide(said, heard));
    }
}
BENCHMARK(decideBetweenTextsOfNTokens)
    ->Arg(250)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(8000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
