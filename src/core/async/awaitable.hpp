#pragma once

// The coroutine vocabulary every asynchronous operation of the helper uses: one executor type,
// one awaitable type, and the error that a cancelled wait throws.

#include <exception>
#include <string>

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

// Ends the calling task with its cancellation if it has been cancelled. A `catch (...)` around an
// awaited call catches the task's own cancellation too; carrying on after it would let a stopped
// task act (open a session, re-arm a timer). So every such catch is followed by this check:
//
//     try { token = co_await fetch(); } catch (...) { failure = std::current_exception(); }
//     co_await throwIfCancelled();
Awaitable<void> throwIfCancelled();

// The description of an error for a diagnostic line: what() of a std::exception.
std::string describe(const std::exception_ptr& error);

}  // namespace tessarin
