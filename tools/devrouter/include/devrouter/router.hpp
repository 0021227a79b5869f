#pragma once
// A small development router for local work, demos and tests.
//
// It serves the two router endpoints the client talks to:
//   GET  /pki/public_key             the server's RSA public key (PEM, text/plain)
//   POST /v1/chat/secure_completion  decrypts the request package with the
//                                    server key, answers from a built-in echo
//                                    model and encrypts the answer for the
//                                    caller's X-Public-Key
// over HTTP, or over HTTPS when a certificate and key are given. Its package
// crypto is its own (OpenSSL EVP + nlohmann), independent of the client's, so
// a round trip through it checks the client against a second implementation.
//
//   ossara::devrouter::Router router({});
//   router.start();
//   ossara::Veilrelay client(router.base_url(), /*allow_http=*/true);
//
// Tests steer its answers with set_completion_behaviour / set_key_behaviour
// and read every request it saw with requests().
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ossara::devrouter {

struct RouterOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0 picks a free port
    std::optional<std::string> tls_cert_file, tls_key_file;  // both => HTTPS
    std::optional<std::string> server_key_pem;  // PEM private key; else RSA-4096 generated at start
    std::optional<std::string> api_key;  // when set, POST needs "Authorization: Bearer <key>" else 401 {"detail": ...}
    int worker_threads = 16;             // requests served at once
    // A request with "Accept: text/event-stream" and "stream": true in its
    // payload gets a streamed answer (one chunk event per word of the echo);
    // false answers every request with one package, as a router that does
    // not stream.
    bool streaming = true;
};

struct RecordedRequest {
    std::string method, path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The request package's plaintext, when the completion endpoint could
    // decrypt it (the serialised payload exactly as the client encrypted it).
    std::optional<std::string> decrypted;

    // First header with this name (case-insensitive), if any.
    std::optional<std::string> header(const std::string& name) const;
};

// How a streamed answer goes wrong (for tests of the client's checks).
enum class StreamFault {
    none,
    truncate,     // the body ends before the final chunk
    reorder,      // chunks 1 and 2 swapped
    repeat,       // chunk 1 sent twice
    corrupt_tag,  // chunk 1's tag has one bit flipped
    pause,        // `stream_pause` passes before chunk 1
    error_end,    // after two chunks, a final chunk with status 503 and an error object
    trailing,     // chunk 0 sent again after the final chunk
};

// What the completion endpoint does with the next requests (sticky until changed).
struct CompletionBehaviour {
    enum class Kind {
        normal,               // decrypt, echo, encrypt the answer for X-Public-Key
        status,               // answer `status` with `body` and `content_type`, nothing decrypted
        tampered_tag,         // a normal answer whose GCM tag has one bit flipped
        missing_fields,       // a package without "version" and "encrypted_aes_key"
        unsupported_version,  // a package whose "version" is "2.0"
        array_plaintext,      // a valid package whose plaintext is a JSON array
        not_a_package,        // 200 with a body that is not JSON
        stall,                // read the request, never answer; released by stop()
        reset_mid_answer,     // send headers and part of the body, then reset the connection (TCP RST)
    } kind = Kind::normal;
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    // How long the endpoint waits before it answers (a slow model).
    std::chrono::milliseconds delay{0};
    // For streamed answers only.
    StreamFault stream_fault = StreamFault::none;
    std::chrono::milliseconds stream_pause{0};

    static CompletionBehaviour of(Kind kind) {
        CompletionBehaviour b;
        b.kind = kind;
        return b;
    }
    // Answer `status` with this body, nothing decrypted.
    static CompletionBehaviour answer(int status, std::string body, std::string content_type = "application/json") {
        CompletionBehaviour b;
        b.kind = Kind::status;
        b.status = status;
        b.body = std::move(body);
        b.content_type = std::move(content_type);
        return b;
    }
    // A normal answer, streamed with this fault when streamed.
    static CompletionBehaviour streamed(StreamFault fault, std::chrono::milliseconds pause = {}) {
        CompletionBehaviour b;
        b.stream_fault = fault;
        b.stream_pause = pause;
        return b;
    }
};

// What the key endpoint does with the next requests (sticky until changed).
struct KeyBehaviour {
    enum class Kind {
        normal,  // 200 with the server's public key PEM
        status,  // answer `status` with `body`
        body,    // 200 with `body` (a foreign key, garbage, ...)
        stall,   // never answer; released by stop()
    } kind = Kind::normal;
    int status = 200;
    std::string body;

    static KeyBehaviour of(Kind kind) {
        KeyBehaviour b;
        b.kind = kind;
        return b;
    }
    static KeyBehaviour answer(int status, std::string body) { return {Kind::status, status, std::move(body)}; }
    static KeyBehaviour serve(std::string body) { return {Kind::body, 200, std::move(body)}; }
};

class Router {
public:
    explicit Router(RouterOptions options);
    ~Router();  // stops
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    // Binds and serves on background threads; returns once listening.
    // Throws std::runtime_error when the address cannot be bound.
    void start();
    // Releases stalled requests, closes the listener and joins the threads. Idempotent.
    void stop();

    std::string base_url() const;  // e.g. "http://127.0.0.1:41234"
    int port() const;
    bool https() const;
    const std::string& public_key_pem() const;

    void set_completion_behaviour(CompletionBehaviour b);
    void set_key_behaviour(KeyBehaviour b);

    // Every request seen, in order (thread-safe). Header names and order are
    // as cpp-httplib keeps them (sorted); use RawResponder for wire order.
    std::vector<RecordedRequest> requests() const;
    void clear_requests();

    // Waits until every connection the router has accepted is served to its
    // end (its requests recorded, or found cut off); false after `limit`.
    bool wait_until_idle(std::chrono::milliseconds limit) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ossara::devrouter
