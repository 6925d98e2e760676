#include "recording/server/helper_auth.hpp"

#include "core/api/auth_error.hpp"

namespace tessarin {

HelperAuth::HelperAuth(Token, Executor executor, std::shared_ptr<Clock> clock, URL appURL,
                       std::string token, Clock::Duration timeout,
                       std::function<void()> onTokenNeeded)
    : executor_(executor),
      appURL_(std::move(appURL)),
      token_(std::move(token)),
      timeout_(timeout),
      onTokenNeeded_(std::move(onTokenNeeded)),
      tokenWait_(std::move(executor), std::move(clock)) {}

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
        // Callers refused meanwhile join this request and its time limit.
        if (onTokenNeeded_) {
            onTokenNeeded_();
        }
        tokenWait_.arm(timeout_, [this] { resumeAll(std::nullopt); });
    }
    std::optional<std::string> token = co_await waiter->wait();
    if (!token) {
        throw AuthError::signedOut();
    }
    co_return *token;
}

Awaitable<void> HelperAuth::update(std::string token) {
    token_ = std::move(token);
    resumeAll(token_);
    co_return;
}

Awaitable<void> HelperAuth::close() {
    closed_ = true;
    resumeAll(std::nullopt);
    co_return;
}

void HelperAuth::resumeAll(const std::optional<std::string>& token) {
    tokenWait_.disarm();
    std::vector<Waiter> taken;
    taken.swap(waiters_);
    for (const auto& waiter : taken) {
        waiter->resume(token);
    }
}

}  // namespace tessarin
