#pragma once
// Veilrelay: client for an end-to-end encrypted chat-completion router.
//
// A request payload (a JSON object) is serialised, encrypted with a fresh
// AES-256-GCM key, the key wrapped with RSA-OAEP-SHA256 for the router's
// public key, and posted over HTTPS. The answer is wrapped for this client's
// own RSA-4096 key and decrypted here. Every failure is a typed error
// (veilrelay/errors.hpp).
//
//   asio::io_context io;
//   ossara::Veilrelay client("https://router.example");
//   client.generate_keys();
//   auto answer = asio::co_spawn(io,
//       client.send_secure_request({{"model", "m"}, {"messages", msgs}}, "req-1"),
//       asio::use_future);
//   io.run();
//   std::cout << answer.get()["choices"][0]["message"]["content"];
//
// The library starts no thread: every asynchronous operation is an
// asio::awaitable that runs on the caller's io_context.

#include <ossara/veilrelay/errors.hpp>
#include <ossara/veilrelay/fingerprint.hpp>
#include <ossara/veilrelay/warnings.hpp>

#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>
#include <openssl/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ossara {

namespace detail {
class EncryptProbe;
class StreamState;
struct HttpRequest;
struct ClientTestAccess;  // the test suite's access to the seams below (not installed)

struct EvpPkeyDeleter {
    void operator()(EVP_PKEY* key) const noexcept;
};
}  // namespace detail

using json = nlohmann::ordered_json;

/// A streamed answer (Veilrelay::open_secure_stream). Move-only; destroying
/// it ends the transfer. Each chunk is handed over only after its tag,
/// sequence number and final flag have been verified.
class SecureStream {
public:
    SecureStream(SecureStream&&) noexcept;
    SecureStream& operator=(SecureStream&&) noexcept;
    ~SecureStream();
    SecureStream(const SecureStream&) = delete;
    SecureStream& operator=(const SecureStream&) = delete;

    /// The next verified chunk: a model-server chunk object
    /// ("chat.completion.chunk"), or, from a router that answers whole, the
    /// whole decrypted answer once ("chat.completion"). std::nullopt after
    /// the end. SecurityError for a stream that does not verify (a chunk
    /// moved, repeated, forged or cut off); the status error classes for an
    /// error the router reports in the final chunk; ConnectionError when no
    /// event arrives within the stream idle timeout; CancelledError when
    /// cancelled (the transfer ends). After an error the stream is over and
    /// next() raises the same error again.
    asio::awaitable<std::optional<json>> next();
    /// false: the router answered with one package.
    bool streamed() const noexcept;

private:
    friend class Veilrelay;
    explicit SecureStream(std::unique_ptr<detail::StreamState> state) noexcept;
    std::unique_ptr<detail::StreamState> state_;
};

class Veilrelay {
public:
    static constexpr std::string_view DEFAULT_ROUTER_URL = "https://router.ossara.example";
    static constexpr std::size_t MAX_PAYLOAD_SIZE = 10485760;
    static constexpr int MIN_KEY_SIZE = 2048;
    static constexpr std::array<std::string_view, 3> valid_tiers{"standard", "high", "maximum"};
    /// Default bound on the body of a 200 answer (64 MiB): a router that
    /// sends more makes the exchange fail as soon as it passes the bound.
    /// Key retrieval answers are bounded at 64 KiB and error answers are cut
    /// after 1 MiB, whatever this setting.
    static constexpr std::size_t DEFAULT_MAX_RESPONSE_SIZE = 64 * 1024 * 1024;

    /// Creates a client for `router_url` (trailing slashes removed). A
    /// non-https URL is accepted, but key retrieval refuses it unless
    /// allow_http is true (then a UserWarning is emitted, attributed to `where`).
    explicit Veilrelay(std::string router_url = std::string(DEFAULT_ROUTER_URL), bool allow_http = false,
                       bool secure_memory = true,
                       std::source_location where = std::source_location::current());

    Veilrelay(const Veilrelay&) = delete;
    Veilrelay& operator=(const Veilrelay&) = delete;
    Veilrelay(Veilrelay&&) noexcept = default;
    Veilrelay& operator=(Veilrelay&&) noexcept = default;
    ~Veilrelay() = default;

    // --- key management -------------------------------------------------
    void generate_keys(bool save_to_file = false, std::string key_dir = "client_keys",
                       std::optional<std::string> password = std::nullopt);
    void load_keys(const std::string& private_key_path, std::optional<std::string> public_key_path = std::nullopt,
                   std::optional<std::string> password = std::nullopt);
    void _protect_private_key() noexcept;
    void _validate_rsa_key(const EVP_PKEY* key, const std::string& key_type = "private") const;

    // --- asynchronous operations (run on the caller's io_context) --------
    asio::awaitable<std::string> fetch_server_public_key();
    asio::awaitable<std::vector<std::uint8_t>> _do_encrypt(std::span<std::uint8_t> payload_bytes,
                                                           std::span<std::uint8_t> aes_key);
    asio::awaitable<std::vector<std::uint8_t>> encrypt_payload(json payload);
    asio::awaitable<json> decrypt_response(std::vector<std::uint8_t> encrypted_response, std::string payload_id);
    asio::awaitable<json> send_secure_request(json payload, std::string payload_id,
                                              std::optional<std::string> api_key = std::nullopt,
                                              std::optional<std::string> security_tier = std::nullopt);
    /// The exchange of send_secure_request with "stream": true set in the
    /// payload and "Accept: text/event-stream": a streaming router answers
    /// with events read through the returned stream; any other 200 answer is
    /// decrypted as send_secure_request does and handed over as one chunk.
    /// Until the answer's body starts, errors are those of send_secure_request.
    asio::awaitable<SecureStream> open_secure_stream(json payload, std::string payload_id,
                                                     std::optional<std::string> api_key = std::nullopt,
                                                     std::optional<std::string> security_tier = std::nullopt);

    // --- configuration and state ----------------------------------------
    const std::string& router_url() const noexcept { return router_url_; }
    bool allow_http() const noexcept { return allow_http_; }
    int key_size() const noexcept { return key_size_; }
    bool use_secure_memory() const noexcept { return _use_secure_memory; }
    /// The client's RSA private key, or nullptr before keys are generated or loaded.
    EVP_PKEY* private_key() const noexcept { return private_key_.get(); }
    const std::optional<std::string>& public_key_pem() const noexcept { return public_key_pem_; }

    /// Verify the router's TLS certificate against this CA bundle (PEM file)
    /// instead of the system trust store. std::nullopt restores the default.
    void set_ca_file(std::optional<std::string> ca_file) { ca_file_ = std::move(ca_file); }
    const std::optional<std::string>& ca_file() const noexcept { return ca_file_; }

    /// Send key retrieval and exchanges through this proxy (a curl proxy URL
    /// such as "http://proxy.example:3128"; HTTPS routers are reached through
    /// a CONNECT tunnel, so the proxy sees no plaintext HTTP). std::nullopt,
    /// the default, goes direct. The client never reads proxy settings from
    /// the environment (http_proxy, https_proxy, ALL_PROXY, NO_PROXY).
    void set_proxy(std::optional<std::string> proxy_url) { proxy_ = std::move(proxy_url); }
    const std::optional<std::string>& proxy() const noexcept { return proxy_; }

    /// Pin the router's public key: the SHA-256 fingerprint of its DER
    /// SubjectPublicKeyInfo as 64 hex digits, optionally in pairs joined by
    /// ':' (the form `veilrelay keys show` and `veilrelay router-key` print;
    /// ossara::public_key_fingerprint computes it).
    /// A retrieved key with another fingerprint is refused before the request
    /// key is wrapped for it: SecurityError "Server public key does not match
    /// the pinned key", and nothing is posted. Without a pin, anyone holding a
    /// certificate the client trusts for the router's name could substitute
    /// a key and read prompts. ValueError for a malformed fingerprint;
    /// std::nullopt removes the pin.
    void pin_server_key(std::optional<std::string> fingerprint);
    /// Pin several keys: a retrieved key must match any one of them (while a
    /// router rotates its key, pin the old one and the new one). Every
    /// fingerprint is checked before any is stored (ValueError for a malformed
    /// one); an empty list removes the pin.
    void pin_server_keys(const std::vector<std::string>& fingerprints);
    /// The pinned fingerprints in their normal form (lowercase pairs joined by ':').
    const std::vector<std::string>& pinned_server_keys() const noexcept { return pinned_server_keys_; }
    /// The first pinned fingerprint; std::nullopt without a pin.
    std::optional<std::string> pinned_server_key() const {
        return pinned_server_keys_.empty() ? std::nullopt : std::optional<std::string>(pinned_server_keys_.front());
    }

    /// Bound on the body of a 200 answer, DEFAULT_MAX_RESPONSE_SIZE unless set.
    void set_max_response_size(std::size_t bytes) noexcept { max_response_size_ = bytes; }
    std::size_t max_response_size() const noexcept { return max_response_size_; }

    /// Bound on the time between two events of a streamed answer (60 s
    /// unless set), not on the whole answer.
    void set_stream_idle_timeout(std::chrono::milliseconds timeout) noexcept { stream_idle_timeout_ = timeout; }
    std::chrono::milliseconds stream_idle_timeout() const noexcept { return stream_idle_timeout_; }

private:
    // Checks, logging and encryption shared by send_secure_request and
    // open_secure_stream: the POST ready to go.
    asio::awaitable<detail::HttpRequest> _prepare_secure_post(json payload, const std::string& payload_id,
                                                              const std::optional<std::string>& api_key,
                                                              const std::optional<std::string>& security_tier);

    // fetch_server_public_key, also handing back the key it parsed to check
    // the answer, so an encryption parses the router's key only once.
    asio::awaitable<std::pair<std::string, std::unique_ptr<EVP_PKEY, detail::EvpPkeyDeleter>>> _fetch_server_key();

    std::string router_url_;
    std::unique_ptr<EVP_PKEY, detail::EvpPkeyDeleter> private_key_;
    std::optional<std::string> public_key_pem_;
    int key_size_ = 4096;
    bool allow_http_ = false;
    bool _use_secure_memory = false;
    std::optional<std::string> ca_file_;
    std::optional<std::string> proxy_;
    std::vector<std::string> pinned_server_keys_;
    std::size_t max_response_size_ = DEFAULT_MAX_RESPONSE_SIZE;
    std::chrono::milliseconds stream_idle_timeout_{std::chrono::seconds(60)};
    // Time limits of each HTTP exchange (60 s each); tests shorten them.
    std::chrono::milliseconds connect_timeout_{std::chrono::seconds(60)};
    std::chrono::seconds low_speed_time_{60};
    // Observes the buffers of the secure encryption path (tests only).
    detail::EncryptProbe* encrypt_probe_ = nullptr;

    friend struct detail::ClientTestAccess;
};

}  // namespace ossara
