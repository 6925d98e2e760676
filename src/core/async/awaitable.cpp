#include "core/async/awaitable.hpp"

#include <boost/asio/error.hpp>
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

}  // namespace tessarin
