#include <cstring>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/audio/audio_queue.hpp"
#include "support/allocation_probe.hpp"
#include "support/pending.hpp"

namespace tessarin {
namespace {

std::vector<std::uint32_t> tags(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> all(to - from);
    std::iota(all.begin(), all.end(), from);
    return all;
}

// Buffer `tag`: every byte says which buffer it is, and sizes vary unless `size` is given.
std::vector<std::uint8_t> bufferFor(std::uint32_t tag, std::size_t size = 0) {
    std::vector<std::uint8_t> buffer(size ? size : 4 + tag % 7 * 150,
                                     static_cast<std::uint8_t>(tag));
    std::memcpy(buffer.data(), &tag, sizeof tag);
    return buffer;
}

struct AudioQueueTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<AudioQueue> queue = AudioQueue::create(io.get_executor());
    std::vector<std::uint32_t> received;
    std::size_t size = 0;  // of every buffer; 0: sizes vary

    // Pops until the queue is closed, checking that each buffer arrives whole.
    Awaitable<void> consumer() {
        std::vector<std::uint8_t> buffer;
        while (co_await queue->pop(buffer)) {
            std::uint32_t tag = 0;
            std::memcpy(&tag, buffer.data(), sizeof tag);
            EXPECT_EQ(buffer, bufferFor(tag, size));
            received.push_back(tag);
        }
    }
    test::Pending<void> consume() { return test::Pending<void>(io, consumer()); }
    // Runs what is ready (an earlier wait may have stopped the io_context).
    void runReady() {
        io.restart();
        io.poll();
    }
};

TEST_F(AudioQueueTest, KeepsTheNewest600BuffersInOrderWhenTheConsumerFallsBehind) {
    for (const std::uint32_t pushed : {600u, 601u, 1500u}) {
        queue = AudioQueue::create(io.get_executor());
        received.clear();
        std::thread([&] {
            for (std::uint32_t tag = 0; tag < pushed; ++tag) {
                queue->push(bufferFor(tag));
            }
        }).join();
        queue->close();
        ASSERT_TRUE(consume().finish());
        EXPECT_EQ(queue->dropped(), pushed - 600);
        EXPECT_EQ(received, tags(pushed - 600, pushed));
    }
}

// A cancelled consumer ends. Bursts of one and two pushes while the consumer waits: each burst
// wakes it, and once storage has been handed back the producer neither allocates nor frees. A
// close from another thread wakes it too, and later pushes are ignored.
TEST_F(AudioQueueTest, EachPushOrCloseWakesAWaitingConsumerAndAWarmProducerDoesNotAllocate) {
    auto cancelled = consume();
    runReady();
    cancelled.cancel();
    EXPECT_TRUE(isCancellation(cancelled.error()));
    size = 960;
    std::vector<std::vector<std::uint8_t>> buffers;
    for (std::uint32_t tag = 0; tag < 300; ++tag) {
        buffers.push_back(bufferFor(tag, size));
    }
    auto consumer = consume();
    std::uint32_t pushed = 0;
    std::size_t warmAllocations = 0;
    for (int round = 0; pushed + 2 < buffers.size(); ++round) {
        runReady();
        EXPECT_EQ(received.size(), pushed);
        const std::size_t before = test::AllocationProbe::allocations;
        for (int burst = round == 0 ? 3 : 1 + round % 2; burst > 0; --burst) {
            queue->push(buffers[pushed++]);
        }
        warmAllocations += round == 0 ? 0 : test::AllocationProbe::allocations - before;
    }
    runReady();
    std::thread([&] { queue->close(); }).join();
    EXPECT_TRUE(consumer.finish());
    queue->push(buffers[0]);
    EXPECT_TRUE(consume().finish());
    EXPECT_EQ(received, tags(0, pushed));
    EXPECT_EQ(warmAllocations, 0u);
}

}  // namespace
}  // namespace tessarin
