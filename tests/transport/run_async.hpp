#pragma once
// Runs one coroutine to its end on a fresh io_context (one thread, the
// caller's), bounded in time, and hands back its result or rethrows.
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>

namespace ossara::testing {

// The completion runs on this thread (not through asio::use_future, whose
// promise is completed on a thread of its own: ThreadSanitizer cannot see the
// reference counting inside libstdc++ and reports the error object as raced).
template <class T>
T run_async(asio::awaitable<T> operation, std::chrono::seconds limit = std::chrono::seconds(60)) {
    asio::io_context io;
    bool finished = false;
    std::exception_ptr error;
    std::optional<T> value;
    asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T result) {
        finished = true;
        error = e;
        if (!e) value.emplace(std::move(result));
    });
    io.run_for(limit);
    if (!finished) throw std::runtime_error("operation did not finish in time");
    if (error) std::rethrow_exception(error);
    return std::move(*value);
}

}  // namespace ossara::testing
