#include "router_models.hpp"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <set>

namespace veilrelay_cli {

namespace {

constexpr std::size_t kMaxListBytes = 1u << 20;

struct EasyFree {
    void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct SlistFree {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};

struct Body {
    std::string text;
    bool overflow = false;
};

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<Body*>(user);
    const std::size_t n = size * count;
    if (body->text.size() + n > kMaxListBytes) {
        body->overflow = true;
        return 0;
    }
    body->text.append(data, n);
    return n;
}

// The router's API key travels in this request: libcurl must not write the
// TLS secrets to a file named by SSLKEYLOGFILE.
CURLcode clear_key_log(CURL*, void* ssl_ctx, void*) {
    SSL_CTX_set_keylog_callback(static_cast<SSL_CTX*>(ssl_ctx), nullptr);
    return CURLE_OK;
}

ossara::json entry_for(const std::string& name) {
    return ossara::json{{"id", name}, {"object", "model"}, {"created", 0}, {"owned_by", "veilrelay"}};
}

}  // namespace

std::optional<ossara::json> fetch_router_models(const ossara::Veilrelay& client,
                                                const std::optional<std::string>& api_key,
                                                std::chrono::milliseconds timeout) {
    const std::string& base = client.router_url();
    if (!base.starts_with("https://") && !client.allow_http()) return std::nullopt;
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
    if (!easy) return std::nullopt;
    std::unique_ptr<curl_slist, SlistFree> headers(curl_slist_append(nullptr, "Accept: application/json"));
    if (api_key && !api_key->empty()) {
        curl_slist* const next = curl_slist_append(headers.get(), ("Authorization: Bearer " + *api_key).c_str());
        if (next == nullptr) return std::nullopt;
        (void)headers.release();
        headers.reset(next);
    }
    const std::string url = base + "/v1/models";
    Body body;
    CURL* const h = easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_data);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    // Like the client: only an explicitly given proxy, never the environment's.
    curl_easy_setopt(h, CURLOPT_PROXY, client.proxy() ? client.proxy()->c_str() : "");
    if (client.ca_file()) {  // the given bundle alone, as the client trusts it
        curl_easy_setopt(h, CURLOPT_CAINFO, client.ca_file()->c_str());
        curl_easy_setopt(h, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &clear_key_log);
    if (curl_easy_perform(h) != CURLE_OK) return std::nullopt;
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return std::nullopt;

    const auto doc = ossara::json::parse(body.text, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object() || !doc.contains("data") || !doc["data"].is_array()) return std::nullopt;
    ossara::json entries = ossara::json::array();
    for (const auto& entry : doc["data"])
        if (entry.is_object() && entry.contains("id") && entry["id"].is_string()) entries.push_back(entry);
    return entries;
}

ossara::json merged_model_list(const std::optional<ossara::json>& router_entries,
                               const std::vector<std::string>& configured) {
    ossara::json list = ossara::json::object();
    list["object"] = "list";
    list["data"] = router_entries ? *router_entries : ossara::json::array();
    std::set<std::string> listed;
    for (const auto& entry : list["data"]) listed.insert(entry["id"].get<std::string>());
    for (const auto& name : configured)
        if (listed.insert(name).second) list["data"].push_back(entry_for(name));
    return list;
}

}  // namespace veilrelay_cli
