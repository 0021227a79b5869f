// Veilrelay::fetch_server_public_key: GET <router>/pki/public_key under the
// client's HTTPS policy, with every failure mapped to one error kind.
#include <ossara/Veilrelay.hpp>

#include "core/logging.hpp"
#include "crypto/crypto.hpp"
#include "transport/http_transport.hpp"

#include <string>
#include <string_view>

namespace ossara {

namespace {

constexpr std::string_view kHttpsRequired =
    "Server public key must be fetched over HTTPS to prevent MITM attacks. For local development, "
    "initialize with allow_http=True: ossara::Veilrelay client(\"http://localhost:8000\", /*allow_http=*/true)";

constexpr std::string_view kFetchFailed = "Failed to fetch server's public key";

bool is_https(const std::string& url) { return url.starts_with("https://"); }

// The answer must be exactly 200 and its body a PEM public key of any algorithm.
std::string accept_key_answer(const detail::HttpResponse& response) {
    if (response.status != 200)
        throw ValueError(std::string(kFetchFailed) + ": HTTP " + std::to_string(response.status));
    std::string pem(response.body.begin(), response.body.end());
    try {
        (void)detail::load_public_key_pem(pem);
    } catch (...) {
        throw ValueError("Server returned invalid public key format");
    }
    return pem;
}

// The failure table, first match wins. Must be called from a catch block.
[[noreturn]] void rethrow_mapped() {
    try {
        throw;
    } catch (const detail::HttpError& e) {
        switch (e.kind()) {
            case detail::HttpFailure::could_not_connect:
                throw ConnectionError(std::string("Failed to connect to server: ") + e.what());
            case detail::HttpFailure::timeout:
                throw ConnectionError("Connection to server timed out");
            case detail::HttpFailure::network:
            case detail::HttpFailure::other:
                break;
        }
        throw ValueError(std::string(kFetchFailed));
    } catch (const ValueError&) {
        throw;
    } catch (const CancelledError&) {
        throw;
    } catch (...) {
        throw ValueError(std::string(kFetchFailed));
    }
}

}  // namespace

asio::awaitable<std::string> Veilrelay::fetch_server_public_key() {
    detail::log().info("Fetching server's public key...");
    const bool https = is_https(router_url_);
    if (!https) {
        if (!allow_http_) throw SecurityError(std::string(kHttpsRequired));
        detail::log().warn("Fetching key over HTTP (local development mode)");
    }

    detail::HttpRequest request;
    request.method = detail::HttpRequest::Method::get;
    request.url = router_url_ + "/pki/public_key";
    request.limits = {connect_timeout_, low_speed_time_};
    request.ca_file = ca_file_;

    std::string pem;
    try {
        const detail::HttpResponse response = co_await detail::http_exchange(std::move(request));
        pem = accept_key_answer(response);
    } catch (...) {
        rethrow_mapped();
    }

    if (https)
        detail::log().debug("Server's public key fetched securely over HTTPS");
    else
        detail::log().warn("Server's public key fetched over HTTP (INSECURE)");
    co_return pem;
}

}  // namespace ossara
