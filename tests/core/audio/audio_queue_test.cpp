#include <atomic>
#include <chrono>
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

using namespace std::chrono_literals;

std::vector<std::uint32_t> tags(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> all(to - from);
    std::iota(all.begin(), all.end(), from);
    return all;
}

struct AudioQueueTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<AudioQueue> queue = AudioQueue::create(io.get_executor());
    std::vector<std::uint32_t> received;
    std::atomic<std::size_t> receivedCount = 0;
    bool varySizes = true;

    // Buffer `tag` of a stream: every byte says which buffer it belongs to.
    std::vector<std::uint8_t> bufferFor(std::uint32_t tag) const {
        std::vector<std::uint8_t> buffer(varySizes ? 4 + tag % 7 * 150 : 960,
                                         static_cast<std::uint8_t>(tag));
        std::memcpy(buffer.data(), &tag, sizeof tag);
        return buffer;
    }
    // Pops until the queue is closed, checking that each buffer arrives whole.
    Awaitable<void> consumer() {
        std::vector<std::uint8_t> buffer;
        for (;;) {
            const bool more = co_await queue->pop(buffer);
            if (!more) {
                co_return;
            }
            std::uint32_t tag = 0;
            std::memcpy(&tag, buffer.data(), sizeof tag);
            EXPECT_EQ(buffer, bufferFor(tag));
            received.push_back(tag);
            receivedCount = received.size();
        }
    }
    test::Pending<void> consume() { return test::Pending<void>(io, consumer()); }
    void produceOnAThread(std::uint32_t from, std::uint32_t to) {
        std::thread([&] {
            for (std::uint32_t tag = from; tag < to; ++tag) {
                queue->push(bufferFor(tag));
            }
        }).join();
    }
};

TEST_F(AudioQueueTest, KeepsTheNewest600BuffersInOrderWhenTheConsumerFallsBehind) {
    for (const std::uint32_t pushed : {600u, 601u, 1500u}) {
        queue = AudioQueue::create(io.get_executor());
        received.clear();
        produceOnAThread(0, pushed);
        queue->close();
        ASSERT_TRUE(consume().finish());
        EXPECT_EQ(queue->dropped(), pushed - 600);
        EXPECT_EQ(received, tags(pushed - 600, pushed));
    }
}

// The consumer waits before almost every push, so each push must wake it.
TEST_F(AudioQueueTest, AConsumerThatKeepsUpGetsEveryBufferAndTheProducerDoesNotAllocate) {
    varySizes = false;
    std::vector<std::vector<std::uint8_t>> buffers;
    for (std::uint32_t tag = 0; tag < 4500; ++tag) {
        buffers.push_back(bufferFor(tag));
    }
    produceOnAThread(0, 3);  // warm: a burst one longer than any to come
    auto consumer = consume();
    std::atomic<bool> stalled = false;
    std::size_t warmAllocations = 0;
    std::thread producer([&] {
        const std::size_t before = test::AllocationProbe::allocations;
        for (std::size_t pushed = 3; pushed < buffers.size() && !stalled;) {
            const auto limit = std::chrono::steady_clock::now() + 2s;
            while (receivedCount < pushed && !stalled) {
                stalled = std::chrono::steady_clock::now() > limit;
            }
            std::this_thread::sleep_for(50us);  // time for the consumer to wait again
            for (std::size_t burst = 1 + pushed % 2; burst > 0 && pushed < buffers.size();
                 --burst) {
                queue->push(buffers[pushed++]);
            }
        }
        warmAllocations = test::AllocationProbe::allocations - before;
    });
    EXPECT_TRUE(test::runUntil(
        io, [&] { return stalled || receivedCount == buffers.size(); }, 20s));
    producer.join();
    EXPECT_FALSE(stalled);
    EXPECT_EQ(warmAllocations, 0u);
    EXPECT_EQ(received, tags(0, 4500));
    queue->close();
    EXPECT_TRUE(consumer.finish());
}

// A cancelled waiting consumer ends with its cancellation.
TEST_F(AudioQueueTest, AWaitingConsumerEndsWhenCancelledOrAfterTheLastBufferOnceClosed) {
    auto cancelled = consume();
    test::settle(io, 20ms);
    cancelled.cancel();
    EXPECT_TRUE(isCancellation(cancelled.error()));
    auto consumer = consume();
    test::settle(io, 20ms);
    produceOnAThread(0, 2);
    ASSERT_TRUE(test::runUntil(io, [&] { return received.size() == 2; }));
    queue->push(bufferFor(2));
    std::thread([&] { queue->close(); }).join();
    EXPECT_TRUE(consumer.finish());
    EXPECT_EQ(received, tags(0, 3));
    queue->push(bufferFor(3));
    EXPECT_TRUE(consume().finish());
    EXPECT_EQ(received.size(), 3u);
}

}  // namespace
}  // namespace tessarin
