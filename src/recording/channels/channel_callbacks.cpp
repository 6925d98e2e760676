#include "recording/channels/channel_callbacks.hpp"

#include <utility>

#include <boost/asio/post.hpp>

namespace tessarin {

namespace {

template <class... Args>
std::function<void(Args...)> posted(const Executor& executor,
                                    const std::function<void(Args...)>& callback,
                                    const std::shared_ptr<const bool>& silenced) {
    if (!callback) {
        return {};
    }
    return [executor, callback, silenced](Args... args) {
        boost::asio::post(executor, [callback, silenced, ... args = std::move(args)]() mutable {
            if (!silenced || !*silenced) {
                callback(std::move(args)...);
            }
        });
    };
}

}  // namespace

ChannelCallbacks ChannelCallbacks::postedTo(const Executor& executor,
                                            std::shared_ptr<const bool> silenced) const {
    return ChannelCallbacks{
        posted(executor, segment, silenced), posted(executor, stored, silenced),
        posted(executor, delta, silenced),   posted(executor, problem, silenced),
        posted(executor, backlog, silenced), posted(executor, catchUp, silenced)};
}

}  // namespace tessarin
