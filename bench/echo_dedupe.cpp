// How long the echo decision takes on the main executor: one sentence-sized `me` segment against
// the `them` segments around it, and tokenising a long mixed-script text.

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

}  // namespace

BENCHMARK_MAIN();
