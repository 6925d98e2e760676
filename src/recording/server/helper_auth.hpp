#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/api/auth_provider.hpp"
#include "core/async/clock.hpp"
#include "core/async/deadline.hpp"
#include "core/async/one_shot.hpp"
#include "core/async/shared_object.hpp"

namespace tessarin {

// The token broker of a recording. When the web server refuses the current token, the first
// refused request asks the desktop application for a new one (`onTokenNeeded`, which the server
// turns into "token.needed"); it and every request refused meanwhile are parked until `update`
// brings the token, `close` ends the recording's use of it, or `timeout` passes on the clock —
// then they fail with AuthError::signedOut.
//
// Confined to its executor (the main one): every operation must run there. A parked request keeps
// the broker alive; nothing else it starts does.
class HelperAuth final : public AuthProvider, public SharedObject<HelperAuth> {
  public:
    HelperAuth(Token, Executor executor, std::shared_ptr<Clock> clock, URL appURL,
               std::string token, Clock::Duration timeout, std::function<void()> onTokenNeeded);

    const URL& appURL() const override { return appURL_; }
    // The current token, also after `close`.
    Awaitable<std::string> accessToken() override;
    Awaitable<std::string> tokenRejected(std::string refusedToken) override;

    // Stores the new token and releases every parked request with it.
    Awaitable<void> update(std::string token);
    // Final: parked requests fail with signedOut now, later refusals fail at once.
    Awaitable<void> close();

    const std::string& token() const { return token_; }
    bool closed() const { return closed_; }
    std::size_t parkedRequests() const { return waiters_.size(); }

  private:
    using Waiter = std::shared_ptr<OneShot<std::optional<std::string>>>;

    void resumeAll(const std::optional<std::string>& token);

    Executor executor_;
    URL appURL_;
    std::string token_;
    std::vector<Waiter> waiters_;
    bool closed_ = false;
    Clock::Duration timeout_;
    std::function<void()> onTokenNeeded_;
    // Limits the wait of the parked requests; armed by the first of them.
    Deadline tokenWait_;
};

}  // namespace tessarin
