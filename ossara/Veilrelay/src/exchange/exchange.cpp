// The secure request exchange: tier check, encryption, POST with the request
// headers, and the mapping of the router's answer to a result or an error.
#include <ossara/Veilrelay.hpp>

#include "codec/percent_encoding.hpp"
#include "core/logging.hpp"
#include "exchange/error_report.hpp"
#include "exchange/status_errors.hpp"
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

enum class FailureRoute { network, unexpected };

}  // namespace

asio::awaitable<json> Veilrelay::send_secure_request(json payload, std::string payload_id,
                                                     std::optional<std::string> api_key,
                                                     std::optional<std::string> security_tier) {
    if (!payload.is_object()) throw TypeError("payload must be a JSON object");
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

    std::vector<std::uint8_t> package = co_await encrypt_payload(std::move(payload));

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
    detail::log().debug("Target URL: {}", request.url);

    // The mapping acts after the catch blocks: no co_await inside a handler.
    std::optional<json> answer;
    std::optional<FailureRoute> route;
    std::string failure_text;
    try {
        detail::HttpResponse response = co_await detail::http_exchange(std::move(request));
        detail::log().debug("HTTP Status: {}", response.status);
        if (response.status != 200) detail::raise_for_status(response.status, response.body);
        answer = co_await decrypt_response(std::move(response.body), payload_id);
    } catch (const detail::HttpError& error) {
        const bool network = error.kind() == detail::HttpFailure::could_not_connect ||
                             error.kind() == detail::HttpFailure::network;
        route = network ? FailureRoute::network : FailureRoute::unexpected;
        failure_text = network ? std::string(error.what()) : detail::describe_error_with_stack(error);
    } catch (const SecurityError&) {
        throw;
    } catch (const APIError&) {
        throw;
    } catch (const APIConnectionError&) {
        throw;
    } catch (const CancelledError&) {
        throw;
    } catch (const std::exception& error) {
        route = FailureRoute::unexpected;
        failure_text = detail::describe_error_with_stack(error);
    }

    if (route == FailureRoute::network) throw APIConnectionError("Failed to connect to router: " + failure_text);
    if (route == FailureRoute::unexpected) {
        detail::log().error("Unexpected error in send_secure_request\n{}", failure_text);
        throw APIConnectionError("Request failed due to an unexpected error");
    }
    co_return std::move(*answer);
}

}  // namespace ossara
