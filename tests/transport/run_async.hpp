#pragma once
// The transport tests' name for run_awaitable, with a one-minute bound.
#include "support/run_awaitable.hpp"

#include <chrono>
#include <utility>

namespace ossara::testing {

template <class T>
T run_async(asio::awaitable<T> operation, std::chrono::seconds limit = std::chrono::seconds(60)) {
    return run_awaitable(std::move(operation), limit);
}

}  // namespace ossara::testing
