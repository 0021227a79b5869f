#include "upstream_client.hpp"

#include "prepared_call.hpp"

#include "router_protocol/request_headers.hpp"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cctype>
#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace veilrelay_router {

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("curl_global_init failed");
    });
}

namespace {

using Slist = std::unique_ptr<curl_slist, PreparedCall::SlistFree>;

// libcurl writes the TLS secrets of every connection to the file named by
// SSLKEYLOGFILE, which would expose the model server's API key. It installs
// that key-log callback before handing the context to this function, which
// clears it: the router takes no such setting from the environment.
CURLcode clear_key_log(CURL*, void* ssl_ctx, void*) {
    SSL_CTX_set_keylog_callback(static_cast<SSL_CTX*>(ssl_ctx), nullptr);
    return CURLE_OK;
}

void append(Slist& list, const std::string& line) {
    curl_slist* const next = curl_slist_append(list.get(), line.c_str());
    if (next == nullptr) throw std::bad_alloc();
    (void)list.release();
    list.reset(next);
}

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
    auto* call = static_cast<PreparedCall*>(user);
    const std::size_t n = size * count;
    if (!call->body->append(data, n)) {
        call->overflow = true;
        return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
    }
    return n;
}

// Collects the Retry-After of the final answer only: libcurl hands over the
// header lines of every answer (100 Continue, redirects) one line at a time.
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto* result = static_cast<UpstreamResult*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) result->retry_after.reset();
    else if (auto value = retry_after_value(line)) result->retry_after = std::move(value);
    return size * count;
}

UpstreamResult::Outcome classify(CURLcode code) {
    switch (code) {
        case CURLE_OK: return UpstreamResult::Outcome::answered;
        case CURLE_OPERATION_TIMEDOUT: return UpstreamResult::Outcome::timed_out;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
            return UpstreamResult::Outcome::unreachable;
        default: return UpstreamResult::Outcome::failed;
    }
}

}  // namespace

std::optional<std::string> retry_after_value(std::string_view line) {
    static constexpr std::string_view kName = "retry-after:";
    if (line.size() < kName.size()) return std::nullopt;
    for (std::size_t i = 0; i < kName.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != kName[i]) return std::nullopt;
    std::string_view value = line.substr(kName.size());
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!value.empty() && is_space(value.front())) value.remove_prefix(1);
    while (!value.empty() && is_space(value.back())) value.remove_suffix(1);
    if (!ossara::router_protocol::is_relayable_retry_after(value)) return std::nullopt;
    return std::string(value);
}

std::string completions_url(std::string_view base_url) {
    while (!base_url.empty() && base_url.back() == '/') base_url.remove_suffix(1);
    return std::string(base_url) + "/chat/completions";
}

std::string models_url(std::string_view base_url) {
    while (!base_url.empty() && base_url.back() == '/') base_url.remove_suffix(1);
    return std::string(base_url) + "/models";
}

PreparedCall::PreparedCall(std::size_t max_answer_bytes) : result(max_answer_bytes) {}
PreparedCall::~PreparedCall() = default;

void PreparedCall::EasyFree::operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
void PreparedCall::SlistFree::operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }

std::unique_ptr<PreparedCall> prepare_call(const UpstreamSettings& settings, const std::string& url,
                                           std::optional<std::string_view> json_body,
                                           std::chrono::milliseconds timeout, std::size_t max_answer_bytes) {
    global_init();
    auto call = std::make_unique<PreparedCall>(max_answer_bytes);
    call->easy.reset(curl_easy_init());
    if (!call->easy) throw std::runtime_error("curl_easy_init failed");

    Slist headers;
    if (json_body) append(headers, "Content-Type: application/json");
    append(headers, "Accept: application/json");
    append(headers, "Expect:");
    if (settings.api_key) append(headers, "Authorization: Bearer " + *settings.api_key);
    call->headers.reset(headers.release());
    call->body = &call->result.body;

    CURL* const h = call->easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (json_body) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, json_body->data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json_body->size()));
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, call->headers.get());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_data);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, call.get());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &call->result);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, call->error_text.data());
    if (settings.ca_file) {
        // This bundle only: libcurl would add its built-in CA directory (the
        // system's public CAs) beside it otherwise.
        curl_easy_setopt(h, CURLOPT_CAINFO, settings.ca_file->c_str());
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &clear_key_log);
    return call;
}

UpstreamResult finish_call(PreparedCall& call, CURLcode code) {
    UpstreamResult result = std::move(call.result);
    if (code == CURLE_OK) {
        curl_easy_getinfo(call.easy.get(), CURLINFO_RESPONSE_CODE, &result.http_status);
        result.outcome = UpstreamResult::Outcome::answered;
        return result;
    }
    result.body.wipe();
    result.outcome = call.overflow ? UpstreamResult::Outcome::too_large : classify(code);
    result.error = call.error_text[0] != '\0' ? call.error_text.data() : curl_easy_strerror(code);
    return result;
}

namespace {

// One call to the model server on the calling thread.
UpstreamResult perform(const UpstreamSettings& settings, const std::string& url,
                       std::optional<std::string_view> json_body, std::chrono::milliseconds timeout,
                       std::size_t max_answer_bytes) {
    const auto call = prepare_call(settings, url, json_body, timeout, max_answer_bytes);
    return finish_call(*call, curl_easy_perform(call->easy.get()));
}

}  // namespace

UpstreamResult post_chat_completion(const UpstreamSettings& settings, std::string_view json_body) {
    return perform(settings, completions_url(settings.base_url), json_body, settings.timeout, settings.max_answer_bytes);
}

UpstreamResult get_models(const UpstreamSettings& settings, std::chrono::milliseconds timeout) {
    return perform(settings, models_url(settings.base_url), std::nullopt, std::min(timeout, settings.timeout),
                   kMaxModelListBytes);
}

}  // namespace veilrelay_router
