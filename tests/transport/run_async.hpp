#pragma once
// Runs one coroutine to its end on a fresh io_context (one thread, the
// caller's), bounded in time, and hands back its result or rethrows.
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <chrono>
#include <future>
#include <stdexcept>

namespace ossara::testing {

template <class T>
T run_async(asio::awaitable<T> operation, std::chrono::seconds limit = std::chrono::seconds(60)) {
    asio::io_context io;
    auto result = asio::co_spawn(io, std::move(operation), asio::use_future);
    io.run_for(limit);
    // use_future may set the result from another thread just after the
    // context ran out of work, so allow it a moment.
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
        throw std::runtime_error("operation did not finish in time");
    return result.get();
}

}  // namespace ossara::testing
