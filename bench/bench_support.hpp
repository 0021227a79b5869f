#pragma once
// What the benchmark programs share: the published test keys, chat payloads
// of an exact serialised size, a development router on loopback, and a way
// to run one awaitable to completion.
#include <ossara/Veilrelay.hpp>

#include "codec/base64.hpp"
#include "codec/json_writer.hpp"
#include "core/logging.hpp"
#include "crypto/crypto.hpp"
#include "devrouter/router.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <spdlog/logger.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace ossara::bench {

inline const nlohmann::json& vectors() {
    static const nlohmann::json doc = [] {
        std::ifstream in(OSSARA_VECTORS_FILE);
        if (!in) throw std::runtime_error("cannot read " + std::string(OSSARA_VECTORS_FILE));
        std::stringstream text;
        text << in.rdbuf();
        return nlohmann::json::parse(text.str());
    }();
    return doc;
}

inline std::string vector_text(const char* name) { return vectors()[name].get<std::string>(); }

// Readable ASCII prose of exactly `size` characters with a line break now and
// then: what a long chat message looks like.
inline std::string ascii_text(std::size_t size) {
    static constexpr std::string_view kWords[] = {"the ", "router ", "answers ", "every ", "request ", "with ",
                                                 "a ", "package ", "of ", "text, ", "numbers 42 ", "and "};
    std::string text;
    text.reserve(size);
    std::size_t line = 0, i = 0;
    while (text.size() < size) {
        if (line > 90) {
            text += '\n';
            line = 0;
            continue;
        }
        const auto word = kWords[i++ % std::size(kWords)];
        text.append(word.substr(0, std::min(word.size(), size - text.size())));
        line += word.size();
    }
    return text;
}

// A chat payload, mostly one long user message, whose wire serialisation is
// exactly `size` bytes (size >= 128).
inline json chat_payload(std::size_t size) {
    json payload = {{"model", "echo-1"},
                    {"messages", json::array({json{{"role", "user"}, {"content", ""}}})},
                    {"temperature", 0.7}};
    const std::size_t frame = detail::serialise_json(payload).size();
    std::string content = ascii_text(size - frame);
    // Each line break is written as two characters; trim the tail to match.
    std::size_t written = frame + content.size();
    for (const char c : content) written += c == '\n' ? 1 : 0;
    while (written > size) {
        written -= content.back() == '\n' ? 2 : 1;
        content.pop_back();
    }
    while (written < size) {
        content += 'x';
        ++written;
    }
    payload["messages"][0]["content"] = std::move(content);
    return payload;
}

// The published test client key, written to a private temporary PEM file
// (load_keys reads a path); the file is removed again on destruction.
class ClientKeyFile {
public:
    ClientKeyFile() {
        char name[] = "/tmp/ossara-bench-key-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        close(fd);
        path_ = name;
        std::ofstream(path_) << vector_text("client_private_key_pem");
    }
    ~ClientKeyFile() { std::filesystem::remove(path_); }
    ClientKeyFile(const ClientKeyFile&) = delete;
    ClientKeyFile& operator=(const ClientKeyFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A development router on 127.0.0.1 with the published server key.
inline std::unique_ptr<devrouter::Router> start_router(int worker_threads = 16) {
    devrouter::RouterOptions options;
    options.server_key_pem = vector_text("server_private_key_pem");
    options.worker_threads = worker_threads;
    auto router = std::make_unique<devrouter::Router>(std::move(options));
    router->start();
    return router;
}

inline void quiet_warnings() { set_warning_handler([](auto, auto, const auto&) {}); }

// A client of `base_url` over plain HTTP holding the test client key.
inline Veilrelay make_client(const std::string& base_url, const ClientKeyFile& key, bool secure_memory = true) {
    Veilrelay client(base_url, /*allow_http=*/true, secure_memory);
    client.load_keys(key.path());
    return client;
}

template <class T>
T run(asio::io_context& io, asio::awaitable<T> operation) {
    auto result = asio::co_spawn(io, std::move(operation), asio::use_future);
    io.restart();
    io.run();
    return result.get();
}

// Silences the client's logger: over plain HTTP every key fetch logs two
// warnings, which would otherwise be measured as well.
inline void quiet_logs() {
    detail::log().set_level(spdlog::level::off);
    quiet_warnings();
}

// The chat-completion answer the development router's echo model gives for
// `payload`, serialised: what decrypt_response reads back.
inline std::string echo_answer_text(const json& payload) {
    json answer = {{"id", "chatcmpl-bench"},
                   {"object", "chat.completion"},
                   {"created", 1700000000},
                   {"model", payload["model"]},
                   {"choices", json::array({json{{"index", 0},
                                                 {"message", {{"role", "assistant"},
                                                              {"content", payload["messages"][0]["content"]}}},
                                                 {"finish_reason", "stop"}}})},
                   {"usage", {{"prompt_tokens", 1}, {"completion_tokens", 1}, {"total_tokens", 2}}}};
    return detail::serialise_json(answer);
}

// A response package for the test client key holding `plaintext`, written
// the way the router writes it (compact JSON, standard base64).
inline std::vector<std::uint8_t> response_package(const std::string& plaintext) {
    const auto client_key = detail::load_public_key_pem(vector_text("client_public_key_pem"));
    std::vector<std::uint8_t> key(detail::kAesKeySize), nonce(detail::kGcmNonceSize);
    detail::random_bytes(key);
    detail::random_bytes(nonce);
    const std::span<const std::uint8_t> plain(reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size());
    std::vector<std::uint8_t> ciphertext(plain.size());
    const auto tag = detail::aes_gcm_encrypt(key, nonce, plain, ciphertext);
    const auto wrapped = detail::rsa_oaep_wrap(client_key.get(), key);
    nlohmann::ordered_json package = {
        {"version", "1.0"},
        {"algorithm", "hybrid-aes256-rsa4096"},
        {"encrypted_payload",
         {{"ciphertext", detail::base64_encode(ciphertext)},
          {"nonce", detail::base64_encode(nonce)},
          {"tag", detail::base64_encode(tag)}}},
        {"encrypted_aes_key", detail::base64_encode(wrapped)},
        {"key_algorithm", "RSA-OAEP-SHA256"},
        {"payload_algorithm", "AES-256-GCM"},
        {"processed_at", 1700000000.25}};
    const std::string text = package.dump();
    return {text.begin(), text.end()};
}

inline std::string size_label(std::size_t bytes) {
    if (bytes >= (1u << 20)) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10)) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " B";
}

}  // namespace ossara::bench
