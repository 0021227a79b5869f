#pragma once
// Runs the proxy's exchanges on one event loop's io_context. Each exchange
// has a deadline; on drain() the exchanges still running after a grace
// period are cancelled. The in-flight set and the timers are touched on the
// io thread only.
#include "proxy_errors.hpp"

#include <ossara/Veilrelay.hpp>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veilrelay_cli {

struct ExchangeOutcome {
    std::optional<ossara::json> answer;  // set when the exchange succeeded
    std::exception_ptr error;            // set otherwise
    ExchangeEnd end = ExchangeEnd::failed;
    // The model server's error body the router sealed into its refusal, opened.
    std::optional<ossara::json> model_server_error{};
};

// Makes a failed exchange's error precise: an encryption failure is checked
// against the router's key retrieval alone (an unreachable router becomes
// ossara::APIConnectionError), and a model server error sealed into the
// router's refusal is opened.
asio::awaitable<ExchangeOutcome> explain_failure(ossara::Veilrelay& client, std::exception_ptr error,
                                                 const std::string& id);

class ExchangeRunner {
public:
    // Runs the exchanges on `io` (one thread runs it), with no thread of its
    // own: each of the proxy's event loops has a runner, so the RSA work of
    // the exchanges spreads over the loops' threads. Destroy it only once
    // `io` no longer runs.
    ExchangeRunner(ossara::Veilrelay& client, std::chrono::milliseconds timeout, asio::io_context& io);
    ~ExchangeRunner();
    ExchangeRunner(const ExchangeRunner&) = delete;
    ExchangeRunner& operator=(const ExchangeRunner&) = delete;

    // Runs send_secure_request on the runner's io_context, awaited from a
    // coroutine (on that io_context or another); the outcome is handed back
    // on the awaiting coroutine's executor. A failure is made precise first
    // (explain_failure).
    asio::awaitable<ExchangeOutcome> async_run(ossara::json payload, std::string payload_id,
                                               std::optional<std::string> api_key, std::optional<std::string> tier);

    // From now on new exchanges end at once with shutting_down, and those in
    // flight are cancelled when `grace` has passed. Returns at once.
    void drain(std::chrono::milliseconds grace);

private:
    void submit(ossara::json payload, std::string payload_id, std::optional<std::string> api_key,
                std::optional<std::string> tier, std::function<void(ExchangeOutcome)> deliver);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilrelay_cli
