#pragma once
// veilrelay-router in-process on loopback with the published test server
// key, a fake model server behind it, and clients that hold the published
// test client key (so no test pays for RSA-4096 key generation).
#include "relay_router.hpp"

#include <ossara/Veilrelay.hpp>

#include "support/fake_upstream.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/pem.h>
#include <router_protocol/package_crypto.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ossara::testing {

using veilrelay_router::RelayOptions;

inline const nlohmann::json& relay_vectors() { return vectors(); }

// Writes a new RSA-2048 private key (quick to make and to use) to `path`;
// its public key PEM lands in `public_pem`.
inline std::filesystem::path write_small_server_key(const std::filesystem::path& path, std::string& public_pem) {
    const auto key = router_protocol::generate_rsa_key(2048);
    public_pem = router_protocol::public_key_pem(key.get());
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "w"), &std::fclose);
    if (!file || PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error("cannot write the key");
    return path;
}

inline json chat(const std::string& content, const std::string& model = "m1") {
    return json{{"model", model}, {"messages", json::array({json{{"role", "user"}, {"content", content}}})}};
}

// Sends `head` on a fresh connection and reads until `marker` arrives (or 5 s
// pass); `after_sent`, when given, gets the time from the last byte sent to
// the answer read.
inline std::string raw_exchange(int port, const std::string& head, const std::string& marker,
                                std::chrono::steady_clock::duration* after_sent = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    // A peer that closes early must not raise SIGPIPE (macOS has no MSG_NOSIGNAL).
#if defined(MSG_NOSIGNAL)
    constexpr int kNoSignal = MSG_NOSIGNAL;
#else
    constexpr int kNoSignal = 0;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, head.data(), head.size(), kNoSignal) == static_cast<ssize_t>(head.size())) {
        const auto sent = std::chrono::steady_clock::now();
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buffer[4096];
        for (ssize_t n; answer.find(marker) == std::string::npos && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
        if (after_sent) *after_sent = std::chrono::steady_clock::now() - sent;
    }
    ::close(fd);
    return answer;
}

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_handler_ = set_warning_handler([](auto, auto, const auto&) {});
        client_key_ = dir_.path() / "client.pem";
        write_file(client_key_, vector_text("client_private_key_pem"));
        server_key_ = dir_.path() / "server.pem";
        write_file(server_key_, vector_text("server_private_key_pem"));
    }

    void TearDown() override {
        router_.reset();
        set_warning_handler(previous_handler_);
    }

    // Options for a router in front of `upstream_` (2 s timeout); `adjust` may change them.
    void start_router(const std::function<void(veilrelay_router::RelayOptions&)>& adjust = {}) {
        veilrelay_router::RelayOptions options;
        options.port = 0;
        options.server_key_file = server_key_;
        veilrelay_router::UpstreamSettings upstream;
        upstream.base_url = upstream_.base_url();
        upstream.timeout = std::chrono::seconds(2);
        options.upstream = std::move(upstream);
        if (adjust) adjust(options);
        router_.reset();
        router_ = std::make_unique<veilrelay_router::RelayRouter>(std::move(options));
        router_->start();
    }

    Veilrelay client(const std::optional<std::string>& url = std::nullopt) const {
        Veilrelay c(url.value_or(router_->base_url()), /*allow_http=*/true);
        c.load_keys(client_key_.string());
        return c;
    }

    json send(Veilrelay& c, json payload, std::optional<std::string> api_key = std::nullopt,
              std::optional<std::string> tier = std::nullopt) {
        return run_awaitable(c.send_secure_request(std::move(payload), "req-1", std::move(api_key), std::move(tier)),
                             std::chrono::seconds(60));
    }

    TempDir dir_;
    std::filesystem::path client_key_, server_key_;
    FakeUpstream upstream_;
    std::unique_ptr<veilrelay_router::RelayRouter> router_;
    WarningHandler previous_handler_;
};

}  // namespace ossara::testing
