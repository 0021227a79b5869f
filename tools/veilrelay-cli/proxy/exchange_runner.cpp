#include "exchange_runner.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <functional>
#include <set>

namespace veilrelay_cli {

namespace {

// One exchange in flight; owned jointly by the in-flight set, its timer's
// handler and its completion handler, all on the io thread.
struct Exchange {
    explicit Exchange(asio::io_context& io) : deadline(io) {}
    asio::steady_timer deadline;
    asio::cancellation_signal cancel;
    ExchangeEnd end = ExchangeEnd::failed;
    bool finished = false;
    // Hands the outcome to the coroutine that waits for it.
    std::function<void(ExchangeOutcome)> deliver;

    // Cancels the exchange, recording why; the library ends it at its next
    // suspension point.
    void stop(ExchangeEnd why) {
        if (finished || end != ExchangeEnd::failed) return;
        end = why;
        cancel.emit(asio::cancellation_type::terminal);
    }
};

template <typename E>
bool holds(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const E&) {
        return true;
    } catch (...) {
        return false;
    }
}

// The library fetches the router's key inside the encryption and reports
// any failure there as an encryption failure. Fetching the key alone tells
// an unreachable router (APIConnectionError) and a router that hands out no
// key (APIError 502) from a failure of the encryption itself (the original
// error stands).
asio::awaitable<std::exception_ptr> router_key_failure(ossara::Veilrelay& client) {
    try {
        co_await client.fetch_server_public_key();
    } catch (const ossara::ConnectionError& e) {
        co_return std::make_exception_ptr(ossara::APIConnectionError(e.what()));
    } catch (const ossara::ValueError& e) {
        co_return std::make_exception_ptr(ossara::APIError(e.what(), 502));
    } catch (const ossara::Exception&) {
    }
    co_return nullptr;
}

}  // namespace

asio::awaitable<ExchangeOutcome> explain_failure(ossara::Veilrelay& client, std::exception_ptr error,
                                                 const std::string& id) {
    ExchangeOutcome outcome;
    outcome.error = std::move(error);
    if (holds<ossara::SecurityError>(outcome.error)) {
        if (auto precise = co_await router_key_failure(client)) outcome.error = precise;
    } else if (auto sealed = sealed_model_server_error(outcome.error)) {
        try {
            ossara::json opened = co_await client.decrypt_response(std::move(*sealed), id);
            opened.erase("_metadata");
            outcome.model_server_error = std::move(opened);
        } catch (const ossara::Exception&) {
            // Unopened, the router's own detail stands.
        }
    }
    co_return outcome;
}

namespace {

// The exchange as the proxy runs it; never throws but to cancel.
asio::awaitable<ExchangeOutcome> run_exchange(ossara::Veilrelay& client, ossara::json payload, std::string id,
                                              std::optional<std::string> api_key, std::optional<std::string> tier) {
    std::exception_ptr error;
    try {
        ExchangeOutcome outcome;
        outcome.answer = co_await client.send_secure_request(std::move(payload), id, std::move(api_key), std::move(tier));
        co_return outcome;
    } catch (const ossara::Exception&) {
        error = std::current_exception();
    }
    co_return co_await explain_failure(client, std::move(error), id);
}

}  // namespace

struct ExchangeRunner::Impl {
    Impl(ossara::Veilrelay& c, std::chrono::milliseconds t, asio::io_context& context)
        : client(c), timeout(t), io(context), drain_timer(io) {}

    ossara::Veilrelay& client;
    const std::chrono::milliseconds timeout;
    asio::io_context& io;
    asio::steady_timer drain_timer;
    // io thread only:
    std::set<std::shared_ptr<Exchange>> in_flight;
    bool draining = false;

    void start(const std::shared_ptr<Exchange>& ex, ossara::json payload, std::string id,
               std::optional<std::string> api_key, std::optional<std::string> tier) {
        if (draining) {
            ExchangeOutcome outcome;
            outcome.end = ExchangeEnd::shutting_down;
            ex->deliver(std::move(outcome));
            return;
        }
        in_flight.insert(ex);
        ex->deadline.expires_after(timeout);
        ex->deadline.async_wait([ex](const asio::error_code& ec) {
            if (!ec) ex->stop(ExchangeEnd::timed_out);
        });
        asio::co_spawn(io, run_exchange(client, std::move(payload), std::move(id), std::move(api_key), std::move(tier)),
                       asio::bind_cancellation_slot(ex->cancel.slot(),
                                                    [this, ex](std::exception_ptr error, ExchangeOutcome outcome) {
                                                        finish(ex, error, std::move(outcome));
                                                    }));
    }

    void finish(const std::shared_ptr<Exchange>& ex, const std::exception_ptr& error, ExchangeOutcome outcome) {
        ex->finished = true;
        ex->deadline.cancel();
        in_flight.erase(ex);
        if (error) {
            outcome = ExchangeOutcome{};
            outcome.error = error;
        }
        if (outcome.error) outcome.end = ex->end;
        ex->deliver(std::move(outcome));
    }

    void cancel_all(ExchangeEnd why) {
        // stop() may complete an exchange synchronously; iterate over a copy.
        const auto running = in_flight;
        for (const auto& ex : running) ex->stop(why);
    }
};

ExchangeRunner::ExchangeRunner(ossara::Veilrelay& client, std::chrono::milliseconds timeout, asio::io_context& io)
    : impl_(std::make_unique<Impl>(client, timeout, io)) {}

// The io_context has stopped running by now: what is left goes with it.
ExchangeRunner::~ExchangeRunner() = default;

void ExchangeRunner::submit(ossara::json payload, std::string payload_id, std::optional<std::string> api_key,
                            std::optional<std::string> tier, std::function<void(ExchangeOutcome)> deliver) {
    Impl& d = *impl_;
    auto ex = std::make_shared<Exchange>(d.io);
    ex->deliver = std::move(deliver);
    asio::post(d.io, [&d, ex, payload = std::move(payload), id = std::move(payload_id), key = std::move(api_key),
                      tier = std::move(tier)]() mutable {
        d.start(ex, std::move(payload), std::move(id), std::move(key), std::move(tier));
    });
}

asio::awaitable<ExchangeOutcome> ExchangeRunner::async_run(ossara::json payload, std::string payload_id,
                                                           std::optional<std::string> api_key,
                                                           std::optional<std::string> tier) {
    auto initiate = [&](auto handler) {
        // std::function needs a copyable target; the handler is move-only.
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        submit(std::move(payload), std::move(payload_id), std::move(api_key), std::move(tier),
               [shared](ExchangeOutcome o) {
                   const auto executor = asio::get_associated_executor(*shared);
                   asio::post(executor, [shared, o = std::move(o)]() mutable { (*shared)(std::move(o)); });
               });
    };
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(ExchangeOutcome)>(initiate,
                                                                                                 asio::use_awaitable);
}

void ExchangeRunner::drain(std::chrono::milliseconds grace) {
    Impl& d = *impl_;
    asio::post(d.io, [&d, grace] {
        d.draining = true;
        d.drain_timer.expires_after(grace);
        d.drain_timer.async_wait([&d](const asio::error_code& ec) {
            if (!ec) d.cancel_all(ExchangeEnd::shutting_down);
        });
    });
}

}  // namespace veilrelay_cli
