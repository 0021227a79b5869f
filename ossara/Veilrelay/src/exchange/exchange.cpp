// The secure request exchange: tier check, encryption, POST with the request
// headers, and the mapping of the router's answer to a result or an error.
#include <ossara/Veilrelay.hpp>

#include "codec/percent_encoding.hpp"
#include "core/cancellation.hpp"
#include "core/logging.hpp"
#include "exchange/error_report.hpp"
#include "exchange/status_errors.hpp"
#include "exchange/stream_state.hpp"
#include "transport/http_transport.hpp"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

namespace ossara {

namespace {

std::string joined_tiers() {
    std::string out;
    for (const auto tier : Veilrelay::valid_tiers) {
        if (!out.empty()) out += ", ";
        out += tier;
    }
    return out;
}

// Header values travel verbatim; CR, LF or NUL would split or inject headers.
void check_header_value(const char* argument, const std::string& value) {
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        throw ValueError(std::string("Invalid ") + argument +
                         ": header values must not contain CR, LF or NUL characters");
    }
}

// Of an error answer only this much is kept: enough for any detail, and the
// status row decides the class even when the JSON is cut short.
constexpr std::size_t kMaxErrorBody = 1024 * 1024;

}  // namespace

asio::awaitable<detail::HttpRequest> Veilrelay::_prepare_secure_post(json payload, const std::string& payload_id,
                                                                    const std::optional<std::string>& api_key,
                                                                    const std::optional<std::string>& security_tier) {
    detail::log().info("Sending secure chat completion request...");

    if (security_tier) {
        const bool valid = std::find(valid_tiers.begin(), valid_tiers.end(), *security_tier) != valid_tiers.end();
        if (!valid) {
            throw ValueError("Invalid security_tier: '" + *security_tier + "'. Must be one of: " + joined_tiers());
        }
    }
    check_header_value("payload_id", payload_id);
    if (api_key) check_header_value("api_key", *api_key);
    if (security_tier) check_header_value("security_tier", *security_tier);

    std::vector<std::uint8_t> package;
    try {
        package = co_await encrypt_payload(std::move(payload));
    } catch (const std::system_error& error) {
        // Only Asio's report of a cancellation at this co_await gets here.
        if (detail::is_cancellation(error)) throw CancelledError();
        throw;
    }

    if (!public_key_pem_) {
        throw TypeError("client has no public key: call generate_keys() or load_keys() first");
    }
    detail::HttpRequest request;
    request.method = detail::HttpRequest::Method::post;
    request.url = router_url_ + "/v1/chat/secure_completion";
    request.headers.emplace_back("X-Payload-ID", payload_id);
    request.headers.emplace_back("X-Public-Key", detail::percent_encode_header(*public_key_pem_));
    request.headers.emplace_back("Content-Type", "application/octet-stream");
    if (api_key && !api_key->empty()) request.headers.emplace_back("Authorization", "Bearer " + *api_key);
    if (security_tier && !security_tier->empty()) request.headers.emplace_back("X-Security-Tier", *security_tier);
    request.body = std::move(package);
    request.limits = {connect_timeout_, low_speed_time_};
    request.ca_file = ca_file_;
    request.proxy = proxy_;
    request.max_body = max_response_size_;
    request.max_error_body = kMaxErrorBody;
    detail::log().debug("Target URL: {}", request.url);
    co_return request;
}

asio::awaitable<json> Veilrelay::send_secure_request(json payload, std::string payload_id,
                                                     std::optional<std::string> api_key,
                                                     std::optional<std::string> security_tier) {
    if (!payload.is_object()) throw TypeError("payload must be a JSON object");
    detail::HttpRequest request = co_await _prepare_secure_post(std::move(payload), payload_id, api_key, security_tier);

    // The mapping acts after the catch block: no co_await inside a handler.
    std::optional<json> answer;
    std::exception_ptr failure;
    try {
        detail::HttpResponse response = co_await detail::http_exchange(std::move(request));
        detail::log().debug("HTTP Status: {}", response.status);
        if (response.status != 200) detail::raise_for_status(response.status, response.body);
        answer = co_await decrypt_response(std::move(response.body), payload_id);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) detail::raise_exchange_failure(failure, "send_secure_request");
    co_return std::move(*answer);
}

asio::awaitable<SecureStream> Veilrelay::open_secure_stream(json payload, std::string payload_id,
                                                            std::optional<std::string> api_key,
                                                            std::optional<std::string> security_tier) {
    if (!payload.is_object()) throw TypeError("payload must be a JSON object");
    payload["stream"] = true;
    detail::HttpRequest request = co_await _prepare_secure_post(std::move(payload), payload_id, api_key, security_tier);
    request.headers.emplace_back("Accept", "text/event-stream");
    request.accept_event_stream = true;

    std::unique_ptr<detail::StreamState> state;
    std::exception_ptr failure;
    try {
        detail::HttpResponse response = co_await detail::http_exchange(std::move(request));
        detail::log().debug("HTTP Status: {}", response.status);
        if (response.status != 200) detail::raise_for_status(response.status, response.body);
        if (response.stream || detail::is_event_stream(response.content_type)) {
            // An event stream whose body had ended before it started (or,
            // on Windows, any) gets here whole, without a handle.
            if (!private_key_) {
                throw SecurityError("Private key not initialized. Call generate_keys() or load_keys() first.");
            }
            state = detail::StreamState::streamed(private_key_.get(), payload_id, std::move(response.stream),
                                                  std::move(response.body), stream_idle_timeout_, _use_secure_memory);
        } else {
            state = detail::StreamState::whole(co_await decrypt_response(std::move(response.body), payload_id));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) detail::raise_exchange_failure(failure, "send_secure_request");
    co_return SecureStream(std::move(state));
}

}  // namespace ossara
