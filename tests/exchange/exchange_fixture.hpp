#pragma once
// A development router on loopback with the published test server key, and
// clients that hold the published test client key, so no test pays for
// RSA-4096 key generation.
#include <ossara/Veilrelay.hpp>

#include "devrouter/router.hpp"
#include "exchange/client_test_access.hpp"
#include "support/log_capture.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ossara::testing {

// What a reader of a stream saw: the chunks handed over, then the error that
// ended it (if any).
struct StreamOutcome {
    bool streamed = false;
    std::vector<json> chunks;
    std::exception_ptr error;
};

inline asio::awaitable<StreamOutcome> read_stream(Veilrelay& client, json payload, std::string payload_id) {
    StreamOutcome out;
    try {
        SecureStream stream = co_await client.open_secure_stream(std::move(payload), std::move(payload_id));
        out.streamed = stream.streamed();
        while (std::optional<json> chunk = co_await stream.next()) out.chunks.push_back(std::move(*chunk));
    } catch (...) {
        out.error = std::current_exception();
    }
    co_return out;
}

// The content deltas of streamed chunks, joined.
inline std::string joined_content(const std::vector<json>& chunks) {
    std::string text;
    for (const json& chunk : chunks) text += chunk["choices"][0]["delta"]["content"].get<std::string>();
    return text;
}

inline json chat_payload(const std::string& content, const std::string& model = "echo-1") {
    return json{{"model", model}, {"messages", json::array({json{{"role", "user"}, {"content", content}}})}};
}

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_handler_ = set_warning_handler([](auto, auto, const auto&) {});
        key_path_ = keys_dir_.path() / "client.pem";
        write_file(key_path_, vector_text("client_private_key_pem"));
        start_router({});
    }

    void TearDown() override {
        router_->stop();
        set_warning_handler(previous_handler_);
    }

    void start_router(devrouter::RouterOptions options) {
        if (router_) router_->stop();
        options.server_key_pem = vectors()["server_private_key_pem"].get<std::string>();
        router_ = std::make_unique<devrouter::Router>(std::move(options));
        router_->start();
    }

    // A client of the router with the test key pair and short HTTP limits.
    Veilrelay make_client(bool secure_memory = true) const {
        Veilrelay client(router_->base_url(), /*allow_http=*/true, secure_memory);
        client.load_keys(key_path_.string());
        ossara::detail::ClientTestAccess::set_http_limits(client, {std::chrono::milliseconds(2000), std::chrono::seconds(1)});
        return client;
    }

    std::size_t posts_seen() const {
        std::size_t n = 0;
        for (const auto& r : router_->requests())
            if (r.method == "POST") ++n;
        return n;
    }

    TempDir keys_dir_;
    std::filesystem::path key_path_;
    std::unique_ptr<devrouter::Router> router_;
    WarningHandler previous_handler_;
};

}  // namespace ossara::testing
