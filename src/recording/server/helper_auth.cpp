#include "recording/server/helper_auth.hpp"

#include "core/api/auth_error.hpp"

namespace tessarin {

std::shared_ptr<HelperAuth> HelperAuth::make(Executor executor, std::shared_ptr<Clock> clock,
                                             URL appURL, std::string token, Clock::Duration timeout,
                                             std::function<void()> onTokenNeeded) {
    return std::shared_ptr<HelperAuth>(new HelperAuth(std::move(executor), std::move(clock),
                                                      std::move(appURL), std::move(token), timeout,
                                                      std::move(onTokenNeeded)));
}

HelperAuth::HelperAuth(Executor executor, std::shared_ptr<Clock> clock, URL appURL,
                       std::string token, Clock::Duration timeout,
                       std::function<void()> onTokenNeeded)
    : executor_(std::move(executor)),
      clock_(std::move(clock)),
      appURL_(std::move(appURL)),
      token_(std::move(token)),
      timeout_(timeout),
      onTokenNeeded_(std::move(onTokenNeeded)) {}

HelperAuth::~HelperAuth() {
    timer_.cancel();
    // Anyone still parked (their tasks keep the continuation alive) learns there is no token.
    resumeAll(std::nullopt);
}

Awaitable<std::string> HelperAuth::accessToken() {
    co_return token_;
}

Awaitable<std::string> HelperAuth::tokenRejected(std::string refusedToken) {
    if (closed_) {
        throw AuthError::signedOut();
    }
    if (refusedToken != token_) {
        // Renewed since that request was built: retry with the newer token, no need to ask.
        co_return token_;
    }
    auto self = shared_from_this();
    auto waiter = std::make_shared<OneShot<std::optional<std::string>>>(executor_);
    const bool startsCycle = waiters_.empty();
    waiters_.push_back(waiter);
    if (startsCycle) {
        startCycle();
    }
    std::optional<std::string> token = co_await waiter->wait();
    if (!token) {
        throw AuthError::signedOut();
    }
    co_return *token;
}

void HelperAuth::startCycle() {
    const std::int64_t cycle = ++cycle_;
    if (onTokenNeeded_) {
        onTokenNeeded_();
    }
    timer_.cancel();
    std::weak_ptr<HelperAuth> weak = weak_from_this();
    timer_ = Task<>::spawn(executor_, "the token wait",
                           [weak, clock = clock_, timeout = timeout_, cycle]() -> Awaitable<void> {
                               co_await clock->sleepIgnoringCancellation(timeout);
                               auto self = weak.lock();
                               if (self && self->cycle_ == cycle) {
                                   self->resumeAll(std::nullopt);
                               }
                           });
}

Awaitable<void> HelperAuth::update(std::string token) {
    token_ = std::move(token);
    timer_.cancel();
    resumeAll(token_);
    co_return;
}

Awaitable<void> HelperAuth::close() {
    closed_ = true;
    timer_.cancel();
    resumeAll(std::nullopt);
    co_return;
}

void HelperAuth::resumeAll(const std::optional<std::string>& token) {
    std::vector<Waiter> taken;
    taken.swap(waiters_);
    for (const auto& waiter : taken) {
        waiter->resume(token);
    }
}

}  // namespace tessarin
