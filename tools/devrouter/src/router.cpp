#include "devrouter/router.hpp"

#include "router_protocol/echo_model.hpp"
#include "http_server/http_listener.hpp"
#include "router_protocol/key_endpoint.hpp"
#include "router_protocol/package_crypto.hpp"
#include "router_protocol/request_headers.hpp"
#include "router_protocol/stream_seal.hpp"

#include <httplib.h>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>
#include <stdexcept>
#include <thread>

namespace ossara::devrouter {

namespace {

using router_protocol::base64_decode;
using router_protocol::base64_encode;
using router_protocol::echo_completion;
using router_protocol::EvpKey;
using router_protocol::generate_rsa_key;
using router_protocol::is_known_tier;
using router_protocol::kCompletionPath;
using router_protocol::kPublicKeyPath;
using router_protocol::load_private_key;
using router_protocol::load_public_key;
using router_protocol::open_package;
using router_protocol::PackageError;
using router_protocol::percent_decode;
using router_protocol::seal_package;

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

double unix_time_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void answer_json(httplib::Response& res, int status, const nlohmann::ordered_json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void answer_detail(httplib::Response& res, int status, const std::string& detail) {
    answer_json(res, status, nlohmann::ordered_json{{"detail", detail}});
}

// The descriptor of our accepted connection from `remote_port` to `local_port`
// (cpp-httplib does not hand it to handlers), or -1. Found through the
// process's list of descriptors, /dev/fd on Linux and macOS alike; on Windows
// there is no such list, and a reset answer ends with an orderly close there
// instead.
#if defined(_WIN32)
int find_connection(int, int) { return -1; }
void reset_connection(int) {}
#else
int find_connection(int local_port, int remote_port) {
    DIR* dir = ::opendir("/dev/fd");
    if (dir == nullptr) return -1;
    int found = -1;
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_storage local{}, peer{};
        socklen_t local_len = sizeof local, peer_len = sizeof peer;
        if (fd <= 2 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 || local.ss_family != AF_INET)
            continue;
        if (ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port) == local_port &&
            ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port) == remote_port) {
            found = fd;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Resets the connection at once, where a plain close would first send FIN:
// with a zero linger time the last close of a TCP socket sends RST. The
// descriptor belongs to cpp-httplib, which shuts it down and closes it later,
// so it is not closed here but pointed at a fresh, unconnected socket
// (dup2 closes the connection's descriptor and reuses its number in one step).
void reset_connection(int fd) {
    const linger abort_on_close{1, 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close) != 0) return;
    const int spare = ::socket(AF_INET, SOCK_STREAM, 0);
    if (spare < 0) return;
    if (::dup2(spare, fd) == fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::close(spare);
}
#endif

// The local and peer port of a connection that is to be reset.
struct ConnectionPorts {
    int local;
    int remote;
};

// Headers, then part of the declared body; then the connection is closed,
// or, given its ports, reset: a plain close would look like an orderly end of
// the answer.
void answer_truncated(httplib::Response& res, int status, std::optional<ConnectionPorts> reset = std::nullopt) {
    res.status = status;
    res.set_content_provider(4096, "application/json",
                             [reset](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset > 0) return false;
                                 static constexpr char kPart[] = "{\"version\": \"1.0\", \"algorithm\": \"hybrid-";
                                 if (!sink.write(kPart, sizeof kPart - 1)) return false;
                                 if (!reset) return true;
                                 if (const int fd = find_connection(reset->local, reset->remote); fd >= 0)
                                     reset_connection(fd);
                                 return false;
                             });
}

// Header lines that cpp-httplib adds itself to every request.
bool is_synthetic_header(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

// A package with every member in place but placeholder contents.
nlohmann::ordered_json placeholder_package() {
    nlohmann::ordered_json package;
    package["version"] = "1.0";
    package["algorithm"] = "hybrid-aes256-rsa4096";
    package["encrypted_payload"] = {{"ciphertext", "AAAA"}, {"nonce", "AAAAAAAAAAAAAAAA"}, {"tag", "AAAAAAAAAAAAAAAAAAAAAA=="}};
    package["encrypted_aes_key"] = "AAAA";
    return package;
}

// The echo answer as model-server chunk objects, one per word (the first
// with the role, the last with the finish reason), then, when the request
// asked for it, a chunk without choices that carries the usage.
std::vector<nlohmann::ordered_json> echo_chunks(const nlohmann::ordered_json& answer, bool include_usage) {
    const std::string content = answer["choices"][0]["message"]["content"].get<std::string>();
    std::vector<std::string> words;
    for (std::size_t at = 0; at < content.size();) {
        std::size_t end = content.find(' ', at);
        end = end == std::string::npos ? content.size() : end + 1;
        words.push_back(content.substr(at, end - at));
        at = end;
    }
    if (words.empty()) words.emplace_back();
    std::vector<nlohmann::ordered_json> chunks;
    for (std::size_t i = 0; i < words.size(); ++i) {
        nlohmann::ordered_json delta = nlohmann::ordered_json::object();
        if (i == 0) delta["role"] = "assistant";
        delta["content"] = words[i];
        chunks.push_back({{"id", answer["id"]},
                          {"object", "chat.completion.chunk"},
                          {"created", answer["created"]},
                          {"model", answer["model"]},
                          {"choices", nlohmann::ordered_json::array({{{"index", 0},
                                                                      {"delta", delta},
                                                                      {"finish_reason", i + 1 == words.size()
                                                                                            ? nlohmann::ordered_json("stop")
                                                                                            : nlohmann::ordered_json()}}})}});
    }
    if (include_usage && answer.contains("usage"))
        chunks.push_back({{"id", answer["id"]},
                          {"object", "chat.completion.chunk"},
                          {"created", answer["created"]},
                          {"model", answer["model"]},
                          {"choices", nlohmann::ordered_json::array()},
                          {"usage", answer["usage"]}});
    return chunks;
}

// The events of a streamed answer, sealed for `client_key`, with `fault` applied.
std::vector<std::string> stream_events(const nlohmann::ordered_json& answer, bool include_usage, EVP_PKEY* client_key,
                                       const std::string& payload_id, StreamFault fault) {
    router_protocol::StreamSealer sealer(client_key, payload_id);
    std::vector<std::string> events{sealer.header_event()};
    const std::vector<nlohmann::ordered_json> chunks = echo_chunks(answer, include_usage);
    const std::size_t sent = fault == StreamFault::error_end ? std::min<std::size_t>(2, chunks.size()) : chunks.size();
    for (std::size_t i = 0; i < sent; ++i) events.push_back(sealer.chunk_event(chunks[i].dump()));
    const nlohmann::ordered_json final =
        fault == StreamFault::error_end
            ? nlohmann::ordered_json{{"status", 503},
                                     {"error", {{"message", "The model server is overloaded"}, {"type", "server_error"}}},
                                     {"retry_after", "2"}}
            : nlohmann::ordered_json{{"status", 200}};
    events.push_back(sealer.chunk_event(final.dump(), /*final=*/true));
    // events: [header, chunk 0, chunk 1, ..., final]
    switch (fault) {
        case StreamFault::truncate:
            events.pop_back();
            break;
        case StreamFault::reorder:
            if (events.size() > 3) std::swap(events[2], events[3]);
            break;
        case StreamFault::repeat:
            if (events.size() > 2) events.insert(events.begin() + 3, events[2]);
            break;
        case StreamFault::corrupt_tag:
            if (events.size() > 2) {
                nlohmann::ordered_json event = nlohmann::ordered_json::parse(events[2].substr(6));
                std::string tag = base64_decode(event["tag"].get<std::string>());
                tag[0] = static_cast<char>(tag[0] ^ 0x01);
                event["tag"] = base64_encode(tag);
                events[2] = "data: " + event.dump() + "\n\n";
            }
            break;
        case StreamFault::trailing:
            if (events.size() > 2) events.push_back(events[1]);
            break;
        case StreamFault::none:
        case StreamFault::pause:
        case StreamFault::error_end:
            break;
    }
    return events;
}

bool accepts_event_stream(const httplib::Request& req) {
    return req.get_header_value("Accept").find("text/event-stream") != std::string::npos;
}

// The connections a server has accepted and not finished serving.
struct ConnectionCount {
    std::mutex mutex;
    std::condition_variable changed;
    int open = 0;

    void add(int n) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            open += n;
        }
        changed.notify_all();
    }
};

// cpp-httplib hands each accepted connection to its task queue as one task
// that serves it to its end; this queue counts them around the server's own.
class CountingQueue final : public httplib::TaskQueue {
public:
    CountingQueue(httplib::TaskQueue* inner, std::shared_ptr<ConnectionCount> count)
        : inner_(inner), count_(std::move(count)) {}
    void enqueue(std::function<void()> serve) override {
        count_->add(1);
        inner_->enqueue([serve = std::move(serve), count = count_] {
            struct Done {
                ConnectionCount& count;
                ~Done() { count.add(-1); }
            } done{*count};
            serve();
        });
    }
    void shutdown() override { inner_->shutdown(); }
    void on_idle() override { inner_->on_idle(); }

private:
    std::unique_ptr<httplib::TaskQueue> inner_;
    std::shared_ptr<ConnectionCount> count_;
};

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (iequals(key, name)) return value;
    return std::nullopt;
}

struct Router::Impl {
    RouterOptions options;
    EvpKey server_key;
    std::string public_pem;
    std::unique_ptr<httplib::Server> server;
    std::thread listener;
    int port = 0;
    std::shared_ptr<ConnectionCount> connections = std::make_shared<ConnectionCount>();

    mutable std::mutex mutex;  // guards everything below
    std::condition_variable released;
    bool stopping = false;
    CompletionBehaviour completion;
    KeyBehaviour key;
    std::vector<RecordedRequest> requests;

    explicit Impl(RouterOptions opts) : options(std::move(opts)) {
        server_key = options.server_key_pem ? load_private_key(*options.server_key_pem) : generate_rsa_key(4096);
        public_pem = router_protocol::public_key_pem(server_key.get());
    }

    // Returns the request's index in the log.
    std::size_t record(const httplib::Request& req) {
        RecordedRequest r{req.method, req.path, {}, req.body, std::nullopt};
        for (const auto& [name, value] : req.headers)
            if (!is_synthetic_header(name)) r.headers.emplace_back(name, value);
        const std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(std::move(r));
        return requests.size() - 1;
    }

    void note_plaintext(std::size_t index, const std::string& plaintext) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (index < requests.size()) requests[index].decrypted = plaintext;
    }

    // Blocks a worker until stop(); what it then writes reaches no one who waits.
    void stall(httplib::Response& res) {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [this] { return stopping; });
        lock.unlock();
        answer_truncated(res, 503);
    }

    void serve_key(const httplib::Request& req, httplib::Response& res) {
        record(req);
        const KeyBehaviour b = [this] {
            const std::lock_guard<std::mutex> lock(mutex);
            return key;
        }();
        switch (b.kind) {
            case KeyBehaviour::Kind::normal:
                res.status = 200;
                res.set_content(public_pem, "text/plain");
                return;
            case KeyBehaviour::Kind::status:
                res.status = b.status;
                res.set_content(b.body, "text/plain");
                return;
            case KeyBehaviour::Kind::body:
                res.status = 200;
                res.set_content(b.body, "text/plain");
                return;
            case KeyBehaviour::Kind::stall:
                stall(res);
                return;
        }
    }

    void serve_completion(const httplib::Request& req, httplib::Response& res) {
        const std::size_t index = record(req);
        const CompletionBehaviour b = [this] {
            const std::lock_guard<std::mutex> lock(mutex);
            return completion;
        }();
        if (b.delay.count() > 0) std::this_thread::sleep_for(b.delay);
        using Kind = CompletionBehaviour::Kind;
        switch (b.kind) {
            case Kind::status:
                res.status = b.status;
                res.set_content(b.body, b.content_type.c_str());
                return;
            case Kind::stall:
                stall(res);
                return;
            case Kind::reset_mid_answer:
                answer_truncated(res, 200, ConnectionPorts{port, req.remote_port});
                return;
            case Kind::not_a_package:
                res.status = 200;
                res.set_content("this is not an encrypted package", "text/plain");
                return;
            case Kind::missing_fields: {
                nlohmann::ordered_json package = placeholder_package();
                package.erase("version");
                package.erase("encrypted_aes_key");
                answer_json(res, 200, package);
                return;
            }
            case Kind::unsupported_version: {
                nlohmann::ordered_json package = placeholder_package();
                package["version"] = "2.0";
                answer_json(res, 200, package);
                return;
            }
            case Kind::normal:
            case Kind::tampered_tag:
            case Kind::array_plaintext:
                break;
        }
        complete(req, res, b, index);
    }

    // One event per call of the provider, each written (and so flushed) on
    // its own; `pause` before chunk 1 when asked to.
    void answer_streamed(httplib::Response& res, std::vector<std::string> events, const CompletionBehaviour& b) {
        res.status = 200;
        const auto shared = std::make_shared<std::vector<std::string>>(std::move(events));
        const std::chrono::milliseconds pause = b.stream_fault == StreamFault::pause ? b.stream_pause : std::chrono::milliseconds(0);
        res.set_chunked_content_provider(
            "text/event-stream", [this, shared, pause, next = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                if (next == shared->size()) {
                    sink.done();
                    return true;
                }
                if (next == 2 && pause.count() > 0) {
                    std::unique_lock<std::mutex> lock(mutex);
                    released.wait_for(lock, pause, [this] { return stopping; });
                }
                const std::string& event = (*shared)[next++];
                return sink.write(event.data(), event.size());
            });
    }

    // The real endpoint: authenticate, decrypt, answer, encrypt for the caller.
    void complete(const httplib::Request& req, httplib::Response& res, const CompletionBehaviour& b,
                  std::size_t index) {
        const CompletionBehaviour::Kind kind = b.kind;
        if (options.api_key && req.get_header_value("Authorization") != "Bearer " + *options.api_key)
            return answer_detail(res, 401, "Invalid API key");
        const std::string payload_id = req.get_header_value("X-Payload-ID");
        if (payload_id.empty()) return answer_detail(res, 400, "Missing X-Payload-ID header");
        if (req.get_header_value("Content-Type") != "application/octet-stream")
            return answer_detail(res, 400, "Content-Type must be application/octet-stream");
        if (!req.has_header("X-Public-Key")) return answer_detail(res, 400, "Missing X-Public-Key header");
        const std::string tier = req.get_header_value("X-Security-Tier");
        if (req.has_header("X-Security-Tier") && !is_known_tier(tier))
            return answer_detail(res, 400, "Invalid security tier: " + tier);

        try {
            const EvpKey client_key = load_public_key(percent_decode(req.get_header_value("X-Public-Key")));
            nlohmann::ordered_json request;
            {
                std::string plaintext = open_package(req.body, server_key.get());
                note_plaintext(index, plaintext);
                request = nlohmann::ordered_json::parse(plaintext, nullptr, /*allow_exceptions=*/false);
                std::fill(plaintext.begin(), plaintext.end(), '\0');
            }
            if (request.is_discarded()) throw PackageError("request plaintext is not JSON");
            const nlohmann::ordered_json answer = kind == CompletionBehaviour::Kind::array_plaintext
                                                      ? nlohmann::ordered_json::array({"not", "an", "object"})
                                                      : echo_completion(request, payload_id);
            const auto stream = request.find("stream");
            if (options.streaming && kind == CompletionBehaviour::Kind::normal && accepts_event_stream(req) &&
                stream != request.end() && *stream == true) {
                const auto options_it = request.find("stream_options");
                const bool usage = options_it != request.end() && options_it->is_object() &&
                                   options_it->value("include_usage", false) == true;
                return answer_streamed(res, stream_events(answer, usage, client_key.get(), payload_id, b.stream_fault), b);
            }
            nlohmann::ordered_json package = seal_package(answer.dump(), client_key.get());
            package["processed_at"] = unix_time_now();
            if (kind == CompletionBehaviour::Kind::tampered_tag) {
                std::string tag = base64_decode(package["encrypted_payload"]["tag"].get<std::string>());
                tag[0] = static_cast<char>(tag[0] ^ 0x01);
                package["encrypted_payload"]["tag"] = base64_encode(tag);
            }
            answer_json(res, 200, package);
        } catch (const PackageError& e) {
            answer_detail(res, 400, std::string("Invalid request: ") + e.what());
        }
    }

    void not_found(const httplib::Request& req, httplib::Response& res) {
        record(req);
        answer_detail(res, 404, "Not Found");
    }
};

Router::Router(RouterOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Router::~Router() { stop(); }

void Router::start() {
    Impl& d = *impl_;
    if (d.server) throw std::logic_error("router already started");
    if (d.options.tls_cert_file.has_value() != d.options.tls_key_file.has_value())
        throw std::invalid_argument("TLS needs both a certificate and a key file");
    d.server = ossara::http_server::make_http_server(static_cast<std::size_t>(std::max(1, d.options.worker_threads)),
                                                         d.options.tls_cert_file.value_or(""),
                                                         d.options.tls_key_file.value_or(""));
    // Idle keep-alive connections hold a worker; keep that short so stop() is quick.
    d.server->set_keep_alive_timeout(1);
    // The server owns the queue it gets (a raw pointer, by cpp-httplib's interface).
    d.server->new_task_queue = [make_pool = d.server->new_task_queue, count = d.connections] {
        return std::make_unique<CountingQueue>(make_pool(), count).release();
    };
    d.server->Get(kPublicKeyPath, [&d](const httplib::Request& req, httplib::Response& res) { d.serve_key(req, res); });
    d.server->Post(kCompletionPath,
                   [&d](const httplib::Request& req, httplib::Response& res) { d.serve_completion(req, res); });
    d.server->Get(".*", [&d](const httplib::Request& req, httplib::Response& res) { d.not_found(req, res); });
    d.server->Post(".*", [&d](const httplib::Request& req, httplib::Response& res) { d.not_found(req, res); });

    d.port = ossara::http_server::listen_in_background(*d.server, d.options.host, d.options.port, d.listener);
    if (d.port <= 0)
        throw std::runtime_error("cannot listen on " + d.options.host + ":" + std::to_string(d.options.port));
}

void Router::stop() {
    Impl& d = *impl_;
    {
        const std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.released.notify_all();
    if (d.server) d.server->stop();
    if (d.listener.joinable()) d.listener.join();
}

std::string Router::base_url() const {
    return std::string(https() ? "https" : "http") + "://" + impl_->options.host + ":" + std::to_string(impl_->port);
}

int Router::port() const { return impl_->port; }

bool Router::https() const { return impl_->options.tls_cert_file.has_value(); }

const std::string& Router::public_key_pem() const { return impl_->public_pem; }

void Router::set_completion_behaviour(CompletionBehaviour b) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->completion = std::move(b);
}

void Router::set_key_behaviour(KeyBehaviour b) {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->key = std::move(b);
}

std::vector<RecordedRequest> Router::requests() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->requests;
}

void Router::clear_requests() {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->requests.clear();
}

bool Router::wait_until_idle(std::chrono::milliseconds limit) const {
    ConnectionCount& count = *impl_->connections;
    std::unique_lock<std::mutex> lock(count.mutex);
    return count.changed.wait_for(lock, limit, [&count] { return count.open == 0; });
}

}  // namespace ossara::devrouter
