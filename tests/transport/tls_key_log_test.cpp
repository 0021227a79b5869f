// libcurl writes the TLS secrets of its connections to the file that
// SSLKEYLOGFILE names, read once when curl is initialised. This program
// names one before anything else runs, then talks TLS through the client's
// transport (which the command-line proxy uses too) and through the router's
// upstream call: neither may add a byte to it, while a plain curl handle does.
#include "run_async.hpp"

#include "http_server/http_listener.hpp"
#include "support/test_certs.hpp"
#include "support/test_data.hpp"
#include "transport/http_transport.hpp"
#include "upstream_client.hpp"

#include <curl/curl.h>
#include <httplib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

const std::filesystem::path& key_log_path() {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("ossara_tls_key_log_" + std::to_string(::getpid()));
    return path;
}

// Before main, so before any curl_global_init in this process.
[[maybe_unused]] const bool kKeyLogNamed = [] { return ::setenv("SSLKEYLOGFILE", key_log_path().c_str(), 1) == 0; }();

std::uintmax_t key_log_size() {
    std::error_code ec;
    const auto size = std::filesystem::file_size(key_log_path(), ec);
    return ec ? 0 : size;
}

class TlsKeyLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<ossara::testing::TempDir>();
        certs_ = ossara::testing::make_test_certificates(dir_->path());
        server_ = ossara::http_server::make_http_server(1, certs_.cert_file.string(), certs_.key_file.string());
        const auto answer = [](const httplib::Request&, httplib::Response& res) {
            res.set_content("{\"ok\": true}", "application/json");
        };
        server_->Get("/", answer);
        server_->Post("/v1/chat/completions", answer);
        port_ = ossara::http_server::listen_in_background(*server_, "127.0.0.1", 0, listener_);
        ASSERT_GT(port_, 0);
    }
    static void TearDownTestSuite() {
        server_->stop();
        if (listener_.joinable()) listener_.join();
        server_.reset();
        dir_.reset();
        std::filesystem::remove(key_log_path());
    }

    static std::string base_url() { return "https://127.0.0.1:" + std::to_string(port_); }

    // The same exchange through a curl handle of no one's: it must log, or
    // the checks above it prove nothing.
    static void expect_a_plain_handle_logs() {
        const auto before = key_log_size();
        CURL* const easy = curl_easy_init();
        ASSERT_NE(easy, nullptr);
        curl_easy_setopt(easy, CURLOPT_URL, (base_url() + "/").c_str());
        curl_easy_setopt(easy, CURLOPT_CAINFO, certs_.ca_file.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, +[](char*, std::size_t s, std::size_t n, void*) { return s * n; });
        EXPECT_EQ(curl_easy_perform(easy), CURLE_OK);
        curl_easy_cleanup(easy);
        EXPECT_GT(key_log_size(), before);
    }

    static inline std::unique_ptr<ossara::testing::TempDir> dir_;
    static inline ossara::testing::TestCertificates certs_;
    static inline std::unique_ptr<httplib::Server> server_;
    static inline std::thread listener_;
    static inline int port_ = 0;
};

TEST_F(TlsKeyLog, TheClientsTransportWritesNoSecrets) {
    const auto before = key_log_size();
    ossara::detail::HttpRequest request;
    request.url = base_url() + "/";
    request.ca_file = certs_.ca_file.string();
    request.limits = {std::chrono::milliseconds(10000), std::chrono::seconds(10)};
    EXPECT_EQ(ossara::testing::run_async(ossara::detail::http_exchange(std::move(request))).status, 200);
    EXPECT_EQ(key_log_size(), before);
    expect_a_plain_handle_logs();
}

TEST_F(TlsKeyLog, TheRoutersUpstreamCallWritesNoSecrets) {
    const auto before = key_log_size();
    veilrelay_router::UpstreamSettings settings;
    settings.base_url = base_url() + "/v1";
    settings.api_key = "sk-upstream-secret";
    settings.timeout = std::chrono::seconds(10);
    settings.ca_file = certs_.ca_file.string();
    const auto result = veilrelay_router::post_chat_completion(settings, "{}");
    EXPECT_EQ(result.outcome, veilrelay_router::UpstreamResult::Outcome::answered) << result.error;
    EXPECT_EQ(result.http_status, 200);
    EXPECT_EQ(key_log_size(), before);
    expect_a_plain_handle_logs();
}

}  // namespace
