#include "core/audio/audio_queue.hpp"

#include <new>
#include <stdexcept>
#include <utility>

#include <boost/asio/bind_allocator.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace tessarin {

template <class T>
struct AudioQueue::WakeAllocator {
    using value_type = T;

    WakeMemory* memory;

    WakeAllocator(WakeMemory* memory) : memory(memory) {}
    template <class U>
    WakeAllocator(const WakeAllocator<U>& other) : memory(other.memory) {}

    T* allocate(std::size_t n) { return static_cast<T*>(memory->allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { memory->deallocate(p); }

    template <class U>
    bool operator==(const WakeAllocator<U>& other) const {
        return memory == other.memory;
    }
};

void* AudioQueue::WakeMemory::allocate(std::size_t bytes) {
    if (bytes <= sizeof block_ && !busy_.exchange(true, std::memory_order_acquire)) {
        return block_;
    }
    return ::operator new(bytes);
}

void AudioQueue::WakeMemory::deallocate(void* memory) noexcept {
    if (memory == block_) {
        busy_.store(false, std::memory_order_release);
    } else {
        ::operator delete(memory);
    }
}

AudioQueue::AudioQueue(Token, Executor executor, std::size_t capacity)
    : executor_(std::move(executor)),
      wakeTimer_(executor_, boost::asio::steady_timer::time_point::max()),
      ring_(capacity) {
    if (capacity == 0) {
        throw std::invalid_argument("an audio queue needs room for at least one buffer");
    }
    // One more than the ring, so that handing storage back never grows it.
    spare_.reserve(capacity + 1);
}

void AudioQueue::push(std::span<const std::uint8_t> pcm) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        if (closed_) {
            return;
        }
        std::vector<std::uint8_t> storage;
        if (count_ == ring_.size()) {
            storage = std::move(ring_[head_]);
            head_ = (head_ + 1) % ring_.size();
            --count_;
            ++dropped_;
        } else if (!spare_.empty()) {
            storage = std::move(spare_.back());
            spare_.pop_back();
        }
        // Allocates only while the queue is warming up, or for a buffer larger than any before.
        storage.assign(pcm.begin(), pcm.end());
        ring_[(head_ + count_) % ring_.size()] = std::move(storage);
        ++count_;
        wake = std::exchange(waiting_, false);
    }
    if (wake) {
        wakeConsumer();
    }
}

void AudioQueue::close() {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        wake = std::exchange(waiting_, false);
    }
    if (wake) {
        wakeConsumer();
    }
}

std::uint64_t AudioQueue::dropped() const {
    const std::lock_guard lock(mutex_);
    return dropped_;
}

Awaitable<bool> AudioQueue::pop(std::vector<std::uint8_t>& buffer) {
    for (;;) {
        {
            const std::lock_guard lock(mutex_);
            if (count_ > 0) {
                takeOldest(buffer);
                co_return true;
            }
            if (closed_) {
                co_return false;
            }
            // Set and waited for within one turn of the serial executor, so the wake a producer
            // posts from now on cannot run before the wait has begun.
            waiting_ = true;
        }
        try {
            co_await wakeTimer_.async_wait(boost::asio::use_awaitable_t<Executor>{});
        } catch (const boost::system::system_error&) {
            // Woken (the timer's wait was cancelled), or the task itself was cancelled.
        }
        co_await throwIfCancelled();
    }
}

void AudioQueue::takeOldest(std::vector<std::uint8_t>& buffer) {
    std::vector<std::uint8_t>& slot = ring_[head_];
    buffer.swap(slot);
    if (slot.capacity() > 0 && spare_.size() < spare_.capacity()) {
        spare_.push_back(std::move(slot));
    }
    // A slot that holds no buffer holds no storage either, so the producer never frees any.
    std::vector<std::uint8_t>().swap(slot);
    head_ = (head_ + 1) % ring_.size();
    --count_;
}

void AudioQueue::wakeConsumer() {
    auto wake = [self = shared_from_this()] { self->wakeTimer_.cancel(); };
    // The io_context's own executor honours the handler's allocator; the type-erased one would
    // allocate the post with the global heap.
    if (const auto* io = executor_.target<boost::asio::io_context::executor_type>()) {
        boost::asio::post(*io,
                          boost::asio::bind_allocator(WakeAllocator<void>(&wakeMemory_), wake));
    } else {
        boost::asio::post(executor_, std::move(wake));
    }
}

}  // namespace tessarin
