#pragma once
// Runs one awaitable to completion on a private io_context (one thread, the
// caller's), bounded in time, and returns its result (or rethrows its
// error), for tests of the asynchronous operations. A minute is far beyond
// any one operation of a test, sanitizers included; a hang fails the test
// then instead of holding the run until ctest's own timeout.
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace ossara::testing {

// The result is handed over on this thread: asio::use_future completes its
// promise on a thread of its own, which ThreadSanitizer (blind to the
// reference counting inside libstdc++) reports as a race on the error.
template <class T>
T run_awaitable(asio::awaitable<T> operation, std::chrono::seconds limit = std::chrono::seconds(60)) {
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

// Expects `f()` to throw exactly E (not a subclass) and returns a copy of it.
template <class E, class F>
E expect_exact_throw(F&& f) {
    try {
        f();
    } catch (const E& error) {
        if (typeid(error) != typeid(E)) {
            ADD_FAILURE() << "threw a subclass " << typeid(error).name() << ": " << error.what();
        }
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "threw " << typeid(error).name() << ": " << error.what();
        throw;
    }
    ADD_FAILURE() << "threw nothing";
    throw std::logic_error("expected an exception");
}

}  // namespace ossara::testing
