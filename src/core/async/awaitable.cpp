#include "core/async/awaitable.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

namespace tessarin {

bool isCancellation(const std::exception_ptr& error) {
    if (!error) {
        return false;
    }
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& e) {
        return e.code() == boost::asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

void throwCancelled() {
    throw boost::system::system_error(boost::asio::error::operation_aborted);
}

Awaitable<void> throwIfCancelled() {
    const auto state = co_await boost::asio::this_coro::cancellation_state;
    if (state.cancelled() != boost::asio::cancellation_type::none) {
        throwCancelled();
    }
}

std::string describe(const std::exception_ptr& error) {
    if (!error) {
        return "no error";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "an unknown error";
    }
}

}  // namespace tessarin
