#include <numeric>

#include <gtest/gtest.h>

#include "core/audio/outage_buffer.hpp"

namespace tessarin {
namespace {

// Appends 100 ms pieces filled with their index; returns the indexes that reported a first drop.
std::vector<int> appendTenthsOfASecond(OutageBuffer& buffer, std::int64_t fromMs, int count) {
    std::vector<int> firstDrops;
    for (int i = 0; i < count; ++i) {
        if (buffer.append(std::vector<std::uint8_t>(4800, static_cast<std::uint8_t>(i)),
                          fromMs + i * 100)) {
            firstDrops.push_back(i);
        }
    }
    return firstDrops;
}

TEST(OutageBufferTest, CountsDroppedMillisecondsFromTheBytesDropped) {
    // clang-format off
    const std::tuple<const char*, std::int64_t, std::vector<std::size_t>, std::int64_t, std::int64_t>
        cases[] = {  // bound, piece sizes, then bytes held and ms dropped
            {"the bound itself is held", 4801, {4800, 1}, 4801, 0},
            {"one byte past it drops the oldest", 4801, {4800, 2}, 2, 100},
            {"under one ms still counts as dropped bytes", 100, {47, 100}, 100, 0},
            // 478-byte pieces are 9.96 ms each: ten of them are 99 ms, not 10 x 9 ms.
            {"whole ms of all bytes dropped", 478, std::vector<std::size_t>(11, 478), 478, 99},
            {"several pieces dropped by one append", 1000, {300, 300, 300, 960}, 960, 18},
            {"a bound of zero keeps only the newest piece", 0, {48, 96, 144}, 144, 3},
            {"empty pieces change nothing", 0, {0, 96, 0}, 96, 0},
            {"empty pieces start no outage", 0, {0, 0}, 0, 0}};
    // clang-format on
    for (const auto& [name, maxBytes, pieces, count, droppedMs] : cases) {
        OutageBuffer buffer(maxBytes);
        int firstDrops = 0;
        std::int64_t at = 1000;
        for (const std::size_t size : pieces) {
            firstDrops += buffer.append(std::vector<std::uint8_t>(size), at) ? 1 : 0;
            at += static_cast<std::int64_t>(size) / 48;
        }
        EXPECT_EQ(buffer.count(), count) << name;
        EXPECT_EQ(buffer.droppedMs(), droppedMs) << name;
        EXPECT_EQ(buffer.startMs(), count ? std::optional(1000 + droppedMs) : std::nullopt) << name;
        const bool anyDropped = count < std::reduce(pieces.begin(), pieces.end(), std::int64_t{});
        EXPECT_EQ(firstDrops, anyDropped ? 1 : 0) << name;
    }
}

// After a drop 1100-1200 and 1200-1300 are held. Taking them empties the buffer, and the next
// outage reports its first drop again; a release drops each that ends at or before its position.
TEST(OutageBufferTest, TakesWhatIsHeldInOrderOrReleasesWhatEndsBeforeAPosition) {
    OutageBuffer buffer(9600);
    EXPECT_EQ(appendTenthsOfASecond(buffer, 1000, 3), std::vector{2});
    auto held = std::vector<std::uint8_t>(4800, 1);
    held.resize(9600, 2);
    EXPECT_EQ(buffer.take(), (OutageBuffer::Taken{held, 1100, 100}));
    EXPECT_EQ(buffer.take(), std::nullopt);
    EXPECT_EQ(appendTenthsOfASecond(buffer, 1000, 3), std::vector{2});
    const std::tuple<std::int64_t, std::optional<std::int64_t>, std::int64_t> steps[] = {
        {1199, 1100, 9600}, {1200, 1200, 4800}, {1300, std::nullopt, 0}};
    for (const auto& [ms, startMs, count] : steps) {
        buffer.releaseBefore(ms);
        EXPECT_EQ(buffer.startMs(), startMs) << ms;
        EXPECT_EQ(buffer.count(), count) << ms;
        EXPECT_EQ(buffer.droppedMs(), startMs ? 100 : 0) << ms;
    }
    EXPECT_EQ(appendTenthsOfASecond(buffer, 5000, 1), std::vector<int>{});
    EXPECT_EQ(buffer.startMs(), 5000);
}

}  // namespace
}  // namespace tessarin
