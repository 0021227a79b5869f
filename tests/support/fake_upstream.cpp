#include "support/fake_upstream.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace ossara::testing {

namespace {

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool is_synthetic_header(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

}  // namespace

std::optional<std::string> UpstreamRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (iequals(key, name)) return value;
    return std::nullopt;
}

struct FakeUpstream::Impl {
    httplib::Server server;
    std::thread listener;
    int port = 0;
    mutable std::mutex mutex;
    UpstreamReply reply{200, completion("ok", "fake-model")};
    UpstreamReply models_reply{
        200, R"({"object": "list", "data": [{"id": "m1", "object": "model", "created": 0, "owned_by": "fake"}, )"
             R"({"id": "m2", "object": "model", "created": 0, "owned_by": "fake"}]})"};
    std::size_t models_count = 0;
    std::vector<UpstreamRequest> requests;
    std::size_t count = 0;
    std::size_t keep = SIZE_MAX;
    std::atomic<int> in_flight{0};
    std::atomic<int> max_in_flight{0};
    std::condition_variable gathered;
    bool released = false;  // once enough gathered, later requests pass too

    void handle(const httplib::Request& req, httplib::Response& res) {
        const int now = ++in_flight;
        int seen = max_in_flight.load();
        while (now > seen && !max_in_flight.compare_exchange_weak(seen, now)) {
        }
        UpstreamReply r;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++count;
            if (requests.size() < keep) {
                UpstreamRequest recorded{req.path, {}, req.body};
                for (const auto& [name, value] : req.headers)
                    if (!is_synthetic_header(name)) recorded.headers.emplace_back(name, value);
                requests.push_back(std::move(recorded));
            }
            r = reply;
        }
        if (r.hold_until_in_flight > 0) {
            std::unique_lock<std::mutex> lock(mutex);
            gathered.notify_all();
            gathered.wait_for(lock, r.delay, [&] { return in_flight.load() >= r.hold_until_in_flight || released; });
            released = released || in_flight.load() >= r.hold_until_in_flight;
            gathered.notify_all();
        } else if (r.delay.count() > 0) {
            std::this_thread::sleep_for(r.delay);
        }
        answer(res, r);
        --in_flight;
    }

    static void answer(httplib::Response& res, const UpstreamReply& r) {
        res.status = r.status;
        for (const auto& [name, value] : r.headers) res.set_header(name, value);
        if (r.pieces.empty()) {
            res.set_content(r.body, r.content_type.c_str());
            return;
        }
        res.set_chunked_content_provider(r.content_type,
                                         [pieces = r.pieces, cut = r.cut](std::size_t, httplib::DataSink& sink) {
                                             for (const std::string& piece : pieces)
                                                 if (!sink.write(piece.data(), piece.size())) return false;
                                             if (cut) return false;  // the server closes without the last chunk
                                             sink.done();
                                             return true;
                                         });
    }

    void list_models(httplib::Response& res) {
        UpstreamReply r;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ++models_count;
            r = models_reply;
        }
        if (r.delay.count() > 0) std::this_thread::sleep_for(r.delay);
        answer(res, r);
    }
};

FakeUpstream::FakeUpstream(int worker_threads) : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    const auto workers = static_cast<std::size_t>(std::max(1, worker_threads));
    d.server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    d.server.set_keep_alive_timeout(1);
    d.server.Post("/v1/chat/completions",
                  [&d](const httplib::Request& req, httplib::Response& res) { d.handle(req, res); });
    d.server.Get("/v1/models", [&d](const httplib::Request&, httplib::Response& res) { d.list_models(res); });
    socket_t listen_fd = INVALID_SOCKET;
    d.server.set_socket_options([&listen_fd](socket_t sock) {
        httplib::default_socket_options(sock);
        listen_fd = sock;
    });
    d.port = d.server.bind_to_any_port("127.0.0.1");
    if (d.port <= 0) throw std::runtime_error("fake upstream cannot listen");
    if (listen_fd != INVALID_SOCKET) ::listen(listen_fd, SOMAXCONN);
    d.listener = std::thread([&d] { d.server.listen_after_bind(); });
    for (int i = 0; i < 5000 && !d.server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeUpstream::~FakeUpstream() { stop(); }

void FakeUpstream::stop() {
    impl_->server.stop();
    if (impl_->listener.joinable()) impl_->listener.join();
}

std::string FakeUpstream::base_url() const { return "http://127.0.0.1:" + std::to_string(impl_->port) + "/v1"; }

int FakeUpstream::port() const { return impl_->port; }

void FakeUpstream::reply_with(UpstreamReply reply) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->reply = std::move(reply);
    impl_->released = false;
}

void FakeUpstream::models_reply_with(UpstreamReply reply) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->models_reply = std::move(reply);
}

std::size_t FakeUpstream::models_request_count() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->models_count;
}

std::vector<UpstreamRequest> FakeUpstream::requests() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

std::size_t FakeUpstream::request_count() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->count;
}

int FakeUpstream::max_in_flight() const { return impl_->max_in_flight.load(); }

void FakeUpstream::keep_at_most(std::size_t n) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->keep = n;
}

std::string FakeUpstream::completion(const std::string& content, const std::string& model) {
    nlohmann::ordered_json answer;
    answer["id"] = "chatcmpl-fake";
    answer["object"] = "chat.completion";
    answer["created"] = 1700000000;
    answer["model"] = model;
    answer["choices"] = nlohmann::ordered_json::array(
        {{{"index", 0}, {"message", {{"role", "assistant"}, {"content", content}}}, {"finish_reason", "stop"}}});
    answer["usage"] = {{"prompt_tokens", 3}, {"completion_tokens", 1}, {"total_tokens", 4}};
    return answer.dump();
}

std::string FakeUpstream::chunk(const std::string& delta_json, const std::string& finish_reason) {
    nlohmann::ordered_json chunk;
    chunk["id"] = "chatcmpl-fake";
    chunk["object"] = "chat.completion.chunk";
    chunk["created"] = 1700000000;
    chunk["model"] = "fake-model";
    chunk["choices"] = nlohmann::ordered_json::array(
        {{{"index", 0},
          {"delta", nlohmann::ordered_json::parse(delta_json)},
          {"finish_reason", finish_reason.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(finish_reason)}}});
    return chunk.dump();
}

std::vector<std::string> FakeUpstream::events(const std::vector<std::string>& data) {
    std::vector<std::string> out;
    for (const std::string& text : data) out.push_back("data: " + text + "\n\n");
    return out;
}

UpstreamReply FakeUpstream::streamed(StreamShape shape, const std::string& text) {
    using json = nlohmann::ordered_json;
    const auto content = [](const std::string& part) { return json{{"content", part}}.dump(); };
    if (shape == StreamShape::whole) return {200, completion(text, "fake-model")};
    UpstreamReply reply{200, "", "text/event-stream"};
    if (shape == StreamShape::one_event) {
        json event = json::parse(chunk(R"({"role":"assistant"})", "stop"));
        event["choices"][0]["delta"]["content"] = text;
        reply.pieces = events({event.dump(-1, ' ', /*ensure_ascii=*/true), "[DONE]"});
        return reply;
    }
    // The text in three parts, cut between characters.
    std::vector<std::string> data{chunk(R"({"role":"assistant","content":""})")};
    std::size_t at = 0;
    for (int part = 1; part <= 3; ++part) {
        std::size_t end = part == 3 ? text.size() : text.size() * part / 3;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
        data.push_back(chunk(content(text.substr(at, end - at))));
        at = end;
    }
    switch (shape) {
        case StreamShape::honest:
        case StreamShape::honest_cr:
            data.push_back(chunk("{}", "stop"));
            data.push_back("[DONE]");
            break;
        case StreamShape::error_object:
            data.push_back(std::string(R"({"error":)") + kMidStreamError + "}");
            reply.headers = {{"Retry-After", "7"}};
            break;
        case StreamShape::not_json: data.push_back("{\"choices\": [oops"); break;
        case StreamShape::cut: reply.cut = true; break;
        case StreamShape::whole:
        case StreamShape::one_event: break;
    }
    reply.pieces = events(data);
    if (shape == StreamShape::honest_cr) {
        for (std::string& piece : reply.pieces)
            for (char& c : piece)
                if (c == '\n') c = '\r';
        reply.pieces.front().insert(0, "\xEF\xBB\xBF");
    }
    return reply;
}

std::string FakeUpstream::long_text(std::size_t bytes) {
    std::string text;
    for (int line = 1; text.size() < bytes; ++line)
        text += std::to_string(line) + ": na\xC3\xAFve \"quoted\" \xE2\x9C\x93 tab\there \xF0\x9F\x98\x80 back\\slash\n";
    return text;
}

}  // namespace ossara::testing
