#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "core/async/awaitable.hpp"
#include "core/async/shared_object.hpp"

namespace tessarin {

// Carries one speaker's PCM buffers from the capture thread to the executor. It keeps the newest
// `capacity` buffers: when the consumer falls behind, the oldest are dropped and counted.
//
// The capture thread must never wait for the executor nor allocate once the queue is warm, so a
// push copies into storage that earlier buffers left behind (a consumer that hands its buffer back
// through `pop` returns that storage), and the lock both sides take only guards index and pointer
// swaps. The executor hears of new audio through a post only when its consumer is waiting for it.
//
// `push` and `close` may be called from any thread; `pop` runs on the executor, which must be a
// serial one (the helper's single-threaded io_context), with one consumer at a time.
class AudioQueue : public SharedObject<AudioQueue> {
  public:
    static constexpr std::size_t defaultCapacity = 600;

    AudioQueue(Token, Executor executor, std::size_t capacity = defaultCapacity);
    AudioQueue(const AudioQueue&) = delete;
    AudioQueue& operator=(const AudioQueue&) = delete;

    // Queues a copy of `pcm`, dropping the oldest buffer when full. Ignored once closed.
    void push(std::span<const std::uint8_t> pcm);
    // No more buffers: the consumer takes what is queued, then `pop` returns false.
    void close();

    // Waits for the oldest buffer and swaps it into `buffer`, whose old storage the queue keeps
    // for later pushes; false once the queue is closed and empty.
    Awaitable<bool> pop(std::vector<std::uint8_t>& buffer);

    // Buffers dropped so far to make room for newer ones.
    std::uint64_t dropped() const;

  private:
    // Storage for the one wake-up post that can be in flight, so that waking the consumer does
    // not allocate on the capture thread.
    class WakeMemory {
      public:
        void* allocate(std::size_t bytes);
        void deallocate(void* memory) noexcept;

      private:
        alignas(std::max_align_t) std::byte block_[256];
        std::atomic<bool> busy_{false};
    };
    template <class T>
    struct WakeAllocator;

    void wakeConsumer();
    void takeOldest(std::vector<std::uint8_t>& buffer);

    Executor executor_;
    boost::asio::steady_timer wakeTimer_;
    WakeMemory wakeMemory_;

    mutable std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    // Storage handed back by the consumer, newest last, for the producer to reuse.
    std::vector<std::vector<std::uint8_t>> spare_;
    std::uint64_t dropped_ = 0;
    bool waiting_ = false;
    bool closed_ = false;
};

}  // namespace tessarin
