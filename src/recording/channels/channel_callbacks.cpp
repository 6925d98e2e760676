#include "recording/channels/channel_callbacks.hpp"

#include <utility>

#include <boost/asio/post.hpp>

namespace tessarin {

namespace {

template <class... Args>
std::function<void(Args...)> posted(const Executor& executor,
                                    const std::function<void(Args...)>& callback) {
    if (!callback) {
        return {};
    }
    return [executor, callback](Args... args) {
        boost::asio::post(executor, [callback, ... args = std::move(args)]() mutable {
            callback(std::move(args)...);
        });
    };
}

}  // namespace

ChannelCallbacks ChannelCallbacks::postedTo(const Executor& executor) const {
    return ChannelCallbacks{posted(executor, segment), posted(executor, stored),
                            posted(executor, delta),   posted(executor, problem),
                            posted(executor, backlog), posted(executor, catchUp)};
}

}  // namespace tessarin
