#pragma once

// The coroutine vocabulary every asynchronous operation of the helper uses: one executor type,
// one awaitable type, and the error that a cancelled wait throws.

#include <exception>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

namespace tessarin {

using Executor = boost::asio::any_io_executor;

template <class T = void>
using Awaitable = boost::asio::awaitable<T, Executor>;

// True when the error is the one a cancelled task or wait ends with (operation_aborted).
bool isCancellation(const std::exception_ptr& error);

// Throws the error a cancelled wait ends with.
[[noreturn]] void throwCancelled();

}  // namespace tessarin
