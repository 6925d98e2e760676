#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "core/audio/audio_queue.hpp"
#include "support/allocation_probe.hpp"
#include "support/pending.hpp"

namespace tessarin {
namespace {

using namespace std::chrono_literals;

struct AudioQueueTest : testing::Test {
    boost::asio::io_context io;
    std::shared_ptr<AudioQueue> queue = AudioQueue::create(io.get_executor());
    std::vector<std::uint32_t> received;
    std::atomic<std::size_t> receivedCount = 0;
    std::function<std::size_t(std::uint32_t)> sizeFor = [](std::uint32_t tag) {
        return 4 + tag % 7 * 150;
    };

    // Buffer `tag` of a stream: every byte says which buffer it belongs to.
    std::vector<std::uint8_t> bufferFor(std::uint32_t tag) const {
        std::vector<std::uint8_t> buffer(sizeFor(tag), static_cast<std::uint8_t>(tag));
        for (int i = 0; i < 4; ++i) {
            buffer[i] = static_cast<std::uint8_t>(tag >> (8 * i));
        }
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
            const std::uint32_t tag = buffer[0] | buffer[1] << 8 | buffer[2] << 16;
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
    static std::vector<std::uint32_t> tags(std::uint32_t from, std::uint32_t to) {
        std::vector<std::uint32_t> all;
        for (std::uint32_t tag = from; tag < to; ++tag) {
            all.push_back(tag);
        }
        return all;
    }
};

TEST_F(AudioQueueTest, KeepsTheNewest600BuffersInOrderWhenTheConsumerFallsBehind) {
    for (const std::uint32_t pushed : {600u, 601u, 1500u}) {
        queue = AudioQueue::create(io.get_executor());
        received.clear();
        produceOnAThread(0, pushed);
        queue->close();
        ASSERT_TRUE(consume().finish());
        const std::uint32_t dropped = pushed - 600;
        EXPECT_EQ(queue->dropped(), dropped);
        EXPECT_EQ(received, tags(dropped, pushed));
    }
}

// The consumer waits before almost every push, so each push must wake it; a lost wake-up stalls
// the producer here. Once warm, the capture thread allocates nothing, wake-ups included.
TEST_F(AudioQueueTest, AConsumerThatKeepsUpGetsEveryBufferAndTheProducerDoesNotAllocate) {
    constexpr std::uint32_t rounds = 3000;
    sizeFor = [](std::uint32_t) { return 960; };
    std::vector<std::vector<std::uint8_t>> buffers;
    for (std::uint32_t tag = 0; tag < 2 * rounds; ++tag) {
        buffers.push_back(bufferFor(tag));
    }
    // Warm: a burst one longer than any to come makes all the storage they need (the consumer
    // holds one buffer).
    produceOnAThread(0, 3);
    std::uint32_t pushed = 3;
    auto consumer = consume();
    std::atomic<bool> producerDone = false;
    std::atomic<bool> stalled = false;
    std::size_t warmAllocations = 0;
    std::thread producer([&] {
        auto waitUntilAllReceived = [&] {
            const auto limit = std::chrono::steady_clock::now() + 2s;
            while (receivedCount < pushed && !stalled) {
                stalled = std::chrono::steady_clock::now() > limit;
            }
            std::this_thread::sleep_for(50us);  // time for the consumer to wait again
        };
        waitUntilAllReceived();
        const std::size_t before = test::AllocationProbe::allocations;
        for (std::uint32_t round = 0; round < rounds && !stalled; ++round) {
            for (std::uint32_t burst = 0; burst <= round % 2; ++burst) {
                queue->push(buffers[pushed++]);
            }
            waitUntilAllReceived();
        }
        warmAllocations = test::AllocationProbe::allocations - before;
        producerDone = true;
    });
    EXPECT_TRUE(test::runUntil(
        io, [&] { return producerDone.load(); }, 20s));
    producer.join();
    EXPECT_FALSE(stalled);
    EXPECT_EQ(warmAllocations, 0u);
    EXPECT_EQ(received, tags(0, pushed));
    EXPECT_EQ(queue->dropped(), 0u);
    queue->close();
    EXPECT_TRUE(consumer.finish());
}

TEST_F(AudioQueueTest, ClosingEndsTheConsumersWaitAfterTheQueuedBuffers) {
    auto consumer = consume();
    test::settle(io, 20ms);
    produceOnAThread(0, 2);
    ASSERT_TRUE(test::runUntil(io, [&] { return received.size() == 2; }));
    queue->push(bufferFor(2));
    std::thread([&] { queue->close(); }).join();
    EXPECT_TRUE(consumer.finish());
    EXPECT_EQ(received, tags(0, 3));
    // Closed for good: a later push is ignored and a new consumer ends at once.
    queue->push(bufferFor(3));
    EXPECT_TRUE(consume().finish());
    EXPECT_EQ(received.size(), 3u);
}

TEST_F(AudioQueueTest, ACancelledConsumerEndsWithItsCancellationAndTheQueueGoesOn) {
    auto consumer = consume();
    test::settle(io, 20ms);
    consumer.cancel();
    EXPECT_TRUE(isCancellation(consumer.error()));
    auto next = consume();
    produceOnAThread(0, 1);
    ASSERT_TRUE(test::runUntil(io, [&] { return received.size() == 1; }));
    queue->close();
    EXPECT_TRUE(next.finish());
}

}  // namespace
}  // namespace tessarin
