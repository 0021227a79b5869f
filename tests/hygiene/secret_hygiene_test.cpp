// What is left of the secrets after an exchange on the secure path.
//
// What these tests show: right after both guards of the encryption are
// entered, the source buffers hold only zeros; and no heap block that the
// client released through operator delete on the calling thread during
// encrypt_payload, decrypt_response or a whole exchange still held the
// serialised plaintext or the AES key, and the guarded copies held only
// zeros when they were freed. That covers the client's own buffers (byte
// vectors, strings, JSON values, the guarded copies).
// On the router's streamed path (every thread of an in-process router
// watched), no block it freed while relaying a model server's stream that
// broke off held the streamed text.
// What they do not show: memory OpenSSL allocates itself (libssl initialises
// OpenSSL while the program loads, before its allocator can be hooked),
// memory released with plain free() by other libraries, copies still alive
// (the caller's own payload and answer objects), stack and register
// residue, or the kernel's socket buffers.
#include "heap_watch.hpp"

#include <ossara/Veilrelay.hpp>

#include "codec/json_writer.hpp"
#include "crypto/crypto.hpp"
#include "devrouter/router.hpp"
#include "exchange/client_test_access.hpp"
#include "exchange/encrypt_probe.hpp"
#include "support/bytes.hpp"
#include "support/package_opener.hpp"
#include "support/response_sealer.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#if defined(OSSARA_HAVE_RELAY_ROUTER)
#include "exchange/stream_reader.hpp"
#include "relay_router.hpp"
#include "router_protocol/package_crypto.hpp"

#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace ossara::testing {
namespace {

// A marker no other test data contains, so a hit can only be our secret.
std::string marker(const char* prefix) {
    std::array<std::uint8_t, 12> random{};
    detail::random_bytes(random);
    std::string text = prefix;
    for (const auto b : random) text += "0123456789abcdef"[b & 15];
    return text;
}

// Records what the encryption path shows right after both guards are
// entered, and registers the key and the guarded copies with the watch.
class RecordingProbe final : public detail::EncryptProbe {
public:
    explicit RecordingProbe(HeapWatch& watch) : watch_(watch) {}
    void guards_entered(std::span<const std::uint8_t> payload_source, std::span<const std::uint8_t> key_source,
                        std::span<const std::uint8_t> protected_payload,
                        std::span<const std::uint8_t> protected_key) override {
        ++calls;
        sources_zero = all_zero(payload_source) && all_zero(key_source);
        payload_size = protected_payload.size();
        key_size = protected_key.size();
        key_nonzero = !all_zero(protected_key);
        if (protected_key.size() == key.size()) {
            std::copy(protected_key.begin(), protected_key.end(), key.begin());
            key_pattern = watch_.watch_bytes(key);
        }
        payload_range = watch_.watch_range(protected_payload);
        key_range = watch_.watch_range(protected_key);
    }
    ~RecordingProbe() { OPENSSL_cleanse(key.data(), key.size()); }

    int calls = 0;
    bool sources_zero = false, key_nonzero = false;
    std::size_t payload_size = 0, key_size = 0;
    std::array<std::uint8_t, 32> key{};
    int key_pattern = -1, payload_range = -1, key_range = -1;

private:
    HeapWatch& watch_;
};

class SecretHygieneTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_handler_ = set_warning_handler([](auto, auto, const auto&) {});
        write_file(keys_dir_.path() / "client.pem", vector_text("client_private_key_pem"));
        devrouter::RouterOptions options;
        options.server_key_pem = vector_text("server_private_key_pem");
        router_ = std::make_unique<devrouter::Router>(std::move(options));
        router_->start();
        client_ = std::make_unique<Veilrelay>(router_->base_url(), /*allow_http=*/true, /*secure_memory=*/true);
        client_->load_keys((keys_dir_.path() / "client.pem").string());
        ossara::detail::ClientTestAccess::set_http_limits(*client_, {std::chrono::milliseconds(2000), std::chrono::seconds(2)});
        if (!client_->use_secure_memory()) GTEST_SKIP() << "secure memory is not available in this build";
    }
    void TearDown() override {
        if (router_) router_->stop();
        set_warning_handler(previous_handler_);
    }

    // A response package for the test client key, with a content key the test knows.
    static std::vector<std::uint8_t> response_package(std::span<const std::uint8_t> plaintext,
                                                      std::span<const std::uint8_t> key) {
        const std::string text = detail::serialise_json(seal_response(plaintext, key, vector_text("client_public_key_pem")));
        return {text.begin(), text.end()};
    }

    TempDir keys_dir_;
    std::unique_ptr<devrouter::Router> router_;
    std::unique_ptr<Veilrelay> client_;
    WarningHandler previous_handler_;
};

TEST_F(SecretHygieneTest, HeapWatchSeesWhatIsFreedUnwiped) {
    // The watch itself must see a secret freed without wiping, through both
    // allocators, and stay quiet for one that was wiped first.
    // Longer than any library's short-string buffer, so the copies live on the heap.
    const std::string secret = marker("control-secret-");
    HeapWatch watch;
    const int pattern = watch.watch_bytes(bytes_view(secret));
    {
        const std::string leaked(secret);
        // clang may drop an allocation that nothing reads; this one escapes.
        asm volatile("" : : "r"(leaked.data()) : "memory");
    }
    EXPECT_EQ(watch.hits(pattern), 1);
    {
        std::string wiped(secret);
        OPENSSL_cleanse(wiped.data(), wiped.size());
    }
    EXPECT_EQ(watch.hits(pattern), 1);
    if (!HeapWatch::openssl_watched()) return;  // libssl initialises OpenSSL while the program loads
    void* block = OPENSSL_malloc(secret.size());
    std::memcpy(block, secret.data(), secret.size());
    OPENSSL_free(block);
    EXPECT_EQ(watch.hits(pattern), 2);
    block = OPENSSL_malloc(secret.size());
    std::memcpy(block, secret.data(), secret.size());
    OPENSSL_clear_free(block, secret.size());
    EXPECT_EQ(watch.hits(pattern), 2);
}

TEST_F(SecretHygieneTest, EncryptionLeavesNeitherPlaintextNorKeyBehind) {
    const std::string content = marker("hygiene-request-");
    const json payload = {{"model", "echo-1"}, {"messages", json::array({json{{"role", "user"}, {"content", content}}})}};
    const std::string serialised = detail::serialise_json(payload);
    // Only the serialised text has the member name and the value side by side.
    const std::string plaintext_form = "\"content\": \"" + content;
    std::vector<std::uint8_t> package;
    {
        HeapWatch watch;
        RecordingProbe probe(watch);
        const int plaintext_pattern = watch.watch_bytes(bytes_view(plaintext_form));
        ossara::detail::ClientTestAccess::set_encrypt_probe(*client_, &probe);
        package = run_awaitable(client_->encrypt_payload(payload));
        ossara::detail::ClientTestAccess::set_encrypt_probe(*client_, nullptr);

        ASSERT_EQ(probe.calls, 1);
        EXPECT_TRUE(probe.sources_zero) << "payload_json and aes_key must be wiped once their guards are entered";
        EXPECT_EQ(probe.payload_size, serialised.size());
        EXPECT_EQ(probe.key_size, 32u);
        EXPECT_TRUE(probe.key_nonzero);
        EXPECT_EQ(watch.hits(plaintext_pattern), 0) << "a freed block still held the serialised payload";
        EXPECT_EQ(watch.hits(probe.key_pattern), 0) << "a freed block still held the AES key";
        EXPECT_TRUE(watch.range_freed(probe.payload_range));
        EXPECT_TRUE(watch.range_zero_when_freed(probe.payload_range)) << "guarded payload copy not zero when freed";
        EXPECT_TRUE(watch.range_freed(probe.key_range));
        EXPECT_TRUE(watch.range_zero_when_freed(probe.key_range)) << "guarded key copy not zero when freed";
    }
    // And the package really carries the payload: the path watched was the real one.
    EXPECT_EQ(open_package({package.begin(), package.end()}, vector_text("server_private_key_pem")), serialised);
}

TEST_F(SecretHygieneTest, EncryptionThatFailsStillWipesEverything) {
    // The server key cannot be fetched: the guards are left by the error.
    router_->stop();
    const std::string content = marker("hygiene-failed-");
    const json payload = {{"messages", json::array({json{{"role", "user"}, {"content", content}}})}};
    const std::string plaintext_form = "\"content\": \"" + content;
    HeapWatch watch;
    RecordingProbe probe(watch);
    const int plaintext_pattern = watch.watch_bytes(bytes_view(plaintext_form));
    ossara::detail::ClientTestAccess::set_encrypt_probe(*client_, &probe);
    EXPECT_THROW(run_awaitable(client_->encrypt_payload(payload)), SecurityError);
    ossara::detail::ClientTestAccess::set_encrypt_probe(*client_, nullptr);
    ASSERT_EQ(probe.calls, 1);
    EXPECT_EQ(watch.hits(plaintext_pattern), 0);
    EXPECT_EQ(watch.hits(probe.key_pattern), 0);
    EXPECT_TRUE(watch.range_freed(probe.payload_range) && watch.range_zero_when_freed(probe.payload_range));
    EXPECT_TRUE(watch.range_freed(probe.key_range) && watch.range_zero_when_freed(probe.key_range));
}

// The answer in the encodings a router may use; the transcoded copies must go too.
struct AnswerEncoding {
    const char* name;
    std::string (*encode)(const std::string& utf8);
};

std::string as_utf8(const std::string& text) { return text; }
std::string as_utf8_bom(const std::string& text) { return "\xEF\xBB\xBF" + text; }
std::string as_utf16le(const std::string& text) {  // ASCII input only
    std::string out;
    for (const char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

class DecryptionHygieneTest : public SecretHygieneTest, public ::testing::WithParamInterface<AnswerEncoding> {};

TEST_P(DecryptionHygieneTest, DecryptionLeavesNeitherPlaintextNorKeyBehind) {
    const std::string content = marker("hygiene-answer-");
    // Member names are answer text too: a long one (its own heap block) and a
    // short one (inside the member vector's block). With four members the
    // vector is full when _metadata is added.
    const std::string long_name = marker("hygiene-name-");
    const std::string short_name = marker("n").substr(0, 13);
    const std::string answer_text = R"({"id": "chatcmpl-h", "choices": [{"message": {"role": "assistant", "content": ")" +
                                    content + R"("}}], ")" + long_name + R"(": 1, ")" + short_name + R"(": 2})";
    const std::string plaintext = GetParam().encode(answer_text);
    std::array<std::uint8_t, 32> key{};
    detail::random_bytes(key);
    std::vector<std::uint8_t> package = response_package(bytes_view(plaintext), key);
    const std::string utf8_form = "\"content\": \"" + content;
    const std::string encoded_form = GetParam().encode(utf8_form).substr(GetParam().encode("").size());

    json answer;
    {
        HeapWatch watch;
        const int key_pattern = watch.watch_bytes(key);
        const int utf8_pattern = watch.watch_bytes(bytes_view(utf8_form));
        const int encoded_pattern = watch.watch_bytes(bytes_view(encoded_form));
        const int content_pattern = watch.watch_bytes(bytes_view(content));
        const int long_name_pattern = watch.watch_bytes(bytes_view(long_name));
        const int short_name_pattern = watch.watch_bytes(bytes_view(short_name));
        answer = run_awaitable(client_->decrypt_response(std::move(package), "hygiene"));
        EXPECT_EQ(watch.hits(key_pattern), 0) << "a freed block still held the response key";
        EXPECT_EQ(watch.hits(utf8_pattern), 0) << "a freed block still held the decrypted answer";
        EXPECT_EQ(watch.hits(encoded_pattern), 0) << "a freed block still held the decrypted answer";
        EXPECT_EQ(watch.hits(content_pattern), 0) << "a freed block still held the answer's content";
        EXPECT_EQ(watch.hits(long_name_pattern), 0) << "a freed block still held a member name of the answer";
        EXPECT_EQ(watch.hits(short_name_pattern), 0) << "a freed block still held a member name of the answer";
    }
    OPENSSL_cleanse(key.data(), key.size());
    EXPECT_EQ(answer["choices"][0]["message"]["content"], content);
    EXPECT_EQ(answer[long_name], 1);
    EXPECT_EQ(answer["_metadata"]["payload_id"], "hygiene");
}

INSTANTIATE_TEST_SUITE_P(Encodings, DecryptionHygieneTest,
                         ::testing::Values(AnswerEncoding{"utf8", as_utf8}, AnswerEncoding{"utf8_bom", as_utf8_bom},
                                           AnswerEncoding{"utf16le", as_utf16le}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SecretHygieneTest, WholeExchangeLeavesNoRequestPlaintextOrKeyBehind) {
    const std::string content = marker("hygiene-exchange-");
    const json payload = {{"model", "echo-1"}, {"messages", json::array({json{{"role", "user"}, {"content", content}}})}};
    const std::string plaintext_form = "\"content\": \"" + content;
    json answer;
    {
        HeapWatch watch;
        RecordingProbe probe(watch);
        const int plaintext_pattern = watch.watch_bytes(bytes_view(plaintext_form));
        ossara::detail::ClientTestAccess::set_encrypt_probe(*client_, &probe);
        answer = run_awaitable(client_->send_secure_request(payload, "hygiene-1"));
        ossara::detail::ClientTestAccess::set_encrypt_probe(*client_, nullptr);
        ASSERT_EQ(probe.calls, 1);
        EXPECT_EQ(watch.hits(plaintext_pattern), 0);
        EXPECT_EQ(watch.hits(probe.key_pattern), 0);
        EXPECT_TRUE(watch.range_zero_when_freed(probe.payload_range));
        EXPECT_TRUE(watch.range_zero_when_freed(probe.key_range));
    }
    EXPECT_EQ(answer["choices"][0]["message"]["content"], content);
}

#if defined(OSSARA_HAVE_RELAY_ROUTER)

// A model server in a child process: it answers one request with `answer`
// (the bytes of an HTTP answer) and closes the connection. Nothing of the
// answer is held, let alone freed, by this process.
class ForkedModelServer {
public:
    explicit ForkedModelServer(const std::string& answer) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no listening socket");
        port_ = ntohs(address.sin_port);
        pid_ = ::fork();
        if (pid_ == 0) serve(fd, answer);
        ::close(fd);
        if (pid_ < 0) throw std::runtime_error("fork failed");
    }
    ~ForkedModelServer() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }

private:
    [[noreturn]] static void serve(int fd, const std::string& answer) {
        const int connection = ::accept(fd, nullptr, nullptr);
        // The whole request first: closing with unread bytes would reset the connection.
        std::string request;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(connection, buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<std::size_t>(n));
            const std::size_t head = request.find("\r\n\r\n");
            const std::size_t length = request.find("Content-Length: ");
            if (head != std::string::npos && length != std::string::npos &&
                request.size() >= head + 4 + std::stoul(request.substr(length + 16)))
                break;
        }
        for (std::size_t at = 0; at < answer.size();) {
            const ssize_t n = ::write(connection, answer.data() + at, answer.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        ::close(connection);
        ::_exit(0);
    }

    int port_ = 0;
    pid_t pid_ = -1;
};

// A stream the model server breaks off after a small event and one too
// large for a chunk: no block any thread of the router freed held its text,
// and what the caller got ends with the 502 of a broken-off stream.
TEST_F(SecretHygieneTest, ACutStreamLeavesNoStreamedTextOnTheRouter) {
    namespace rp = router_protocol;
    const std::string secret = marker("hygiene-stream-");
    // The answer is written in place, in one block: a temporary freed
    // unwiped now would show up when its memory is reused and freed later.
    std::string answer;
    answer.reserve(1'400'000);
    answer.append("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string_view head = R"(data: {"id":"c","object":"chat.completion.chunk","choices":[{"index":0,"delta":{"content":")";
    const std::string_view tail = "\"},\"finish_reason\":null}]}\n\n";
    const auto add_event = [&](std::size_t repeats, std::string_view filler) {
        char size[24];
        std::snprintf(size, sizeof size, "%zx\r\n", head.size() + repeats * (secret.size() + filler.size()) + tail.size());
        answer.append(size).append(head);
        for (std::size_t i = 0; i < repeats; ++i) answer.append(secret).append(filler);
        answer.append(tail).append("\r\n");
    };
    add_event(1, " are the first words");
    add_event(30'000, " and more of the answer; ");  // 1.3 MB: cut into several chunks
    // Chunked, and never ended: the connection closes after the second event.
    const ForkedModelServer model_server(answer);
    OPENSSL_cleanse(answer.data(), answer.size());

    const auto server_key = rp::load_private_key(vector_text("server_private_key_pem"));
    std::ofstream(keys_dir_.path() / "server.pem") << vector_text("server_private_key_pem");
    veilrelay_router::RelayOptions options;
    options.port = 0;
    options.server_key_file = keys_dir_.path() / "server.pem";
    veilrelay_router::UpstreamSettings upstream;
    upstream.base_url = model_server.base_url();
    upstream.timeout = std::chrono::seconds(20);
    options.upstream = std::move(upstream);
    veilrelay_router::RelayRouter relay(std::move(options));
    relay.start();
    std::string encoded_key;
    for (const char c : vector_text("client_public_key_pem")) encoded_key += c == '\n' ? std::string("%0A") : std::string(1, c);
    const std::string package =
        rp::seal_package(R"({"model":"m","stream":true,"messages":[{"role":"user","content":"hi"}]})",
                         rp::load_public_key(rp::public_key_pem(server_key.get())).get())
            .dump();

    std::string body;
    {
        HeapWatch watch(HeapWatch::Threads::all);
        const int pattern = watch.watch_bytes(bytes_view(secret));
        httplib::Client http("127.0.0.1", relay.port());
        http.set_read_timeout(std::chrono::seconds(30));
        const auto r = http.Post("/v1/chat/secure_completion",
                                 {{"X-Payload-ID", "hygiene-s"}, {"X-Public-Key", encoded_key}, {"Accept", "text/event-stream"}},
                                 package, "application/octet-stream");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        body = r->body;
        relay.stop();  // every thread of the router has ended, and all it held is freed
        EXPECT_EQ(watch.hits(pattern), 0) << "a block the router freed still held the streamed text";
        // The watch sees other threads: a block freed unwiped there counts.
        std::thread([&] { const std::string leaked(secret); }).join();
        EXPECT_EQ(watch.hits(pattern), 1);
    }

    // What the router sent: the text in several chunks, then the final 502.
    const auto client_key = rp::load_private_key(vector_text("client_private_key_pem"));
    detail::StreamReader reader(client_key.get(), "hygiene-s");
    reader.feed(bytes_view(body));
    std::size_t chunks = 0;
    std::string final_text;
    while (auto chunk = reader.next_chunk()) {
        const std::string text(chunk->plaintext.span().begin(), chunk->plaintext.span().end());
        if (chunk->final) final_text = text;
        else ++chunks;
    }
    EXPECT_GE(chunks, 3u);
    EXPECT_NE(final_text.find(R"("status":502)"), std::string::npos) << final_text;
    EXPECT_NE(final_text.find("broke off mid-stream"), std::string::npos) << final_text;
}

#endif  // OSSARA_HAVE_RELAY_ROUTER

}  // namespace
}  // namespace ossara::testing
