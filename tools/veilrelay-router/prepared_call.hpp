#pragma once
// One call to the model server, set up on a libcurl easy handle but not yet
// run: the blocking calls perform it on the calling thread, UpstreamCalls
// hands it to its multi handle. Heap-allocated, so the callbacks' pointers
// into it stay valid while libcurl runs it.
#include "upstream_client.hpp"

#include <curl/curl.h>

#include <array>
#include <memory>

namespace veilrelay_router {

struct PreparedCall {
    explicit PreparedCall(std::size_t max_answer_bytes);
    ~PreparedCall();
    PreparedCall(const PreparedCall&) = delete;
    PreparedCall& operator=(const PreparedCall&) = delete;

    struct EasyFree {
        void operator()(CURL* h) const noexcept;
    };
    struct SlistFree {
        void operator()(curl_slist* l) const noexcept;
    };
    std::unique_ptr<CURL, EasyFree> easy;
    std::unique_ptr<curl_slist, SlistFree> headers;
    UpstreamResult result;
    WipingBuffer* body = nullptr;  // result.body, where the answer goes
    bool overflow = false;
    std::array<char, CURL_ERROR_SIZE> error_text{};
};

// curl_global_init, once per process.
void global_init();

// The call to `url`: GET, or POST `json_body` (which must outlive the call).
std::unique_ptr<PreparedCall> prepare_call(const UpstreamSettings& settings, const std::string& url,
                                           std::optional<std::string_view> json_body,
                                           std::chrono::milliseconds timeout, std::size_t max_answer_bytes);

// The result of a call that ended with `code`.
UpstreamResult finish_call(PreparedCall& call, CURLcode code);

}  // namespace veilrelay_router
