#pragma once
// Runs one of the client's asynchronous operations to completion on the
// tool's io_context and hands back its result (or rethrows its error).
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <utility>

namespace veilrelay_cli {

template <typename T>
T run_sync(asio::io_context& io, asio::awaitable<T> operation) {
    auto result = asio::co_spawn(io, std::move(operation), asio::use_future);
    io.restart();
    io.run();
    return result.get();
}

}  // namespace veilrelay_cli
