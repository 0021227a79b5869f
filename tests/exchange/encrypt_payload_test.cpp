// Payload encryption: limits, error mapping and what happens to the secrets.
#include "exchange_fixture.hpp"

#include "codec/json_writer.hpp"
#include "crypto/crypto.hpp"
#include "crypto/key_wrap.hpp"
#include "devrouter/test_servers.hpp"
#include "exchange/client_test_access.hpp"
#include "exchange/encrypt_probe.hpp"
#include "support/bytes.hpp"
#include "support/package_opener.hpp"

#include <ossara/Hushvault.hpp>

#include <algorithm>
#include <openssl/ec.h>
#include <openssl/evp.h>

namespace ossara::testing {
namespace {

using devrouter::KeyBehaviour;

// A payload whose serialisation is exactly `size` bytes: {"x": "aaa..."}.
json payload_of_serialised_size(std::size_t size) {
    constexpr std::size_t kFrame = std::string_view(R"({"x": ""})").size();
    return json{{"x", std::string(size - kFrame, 'a')}};
}

std::string package_text(const std::vector<std::uint8_t>& package) { return {package.begin(), package.end()}; }

TEST_F(ExchangeTest, PayloadAtTheLimitEncryptsAndOneByteMoreDoesNot) {
    Veilrelay client = make_client();
    const json at_limit = payload_of_serialised_size(Veilrelay::MAX_PAYLOAD_SIZE);
    ASSERT_EQ(detail::serialise_json(at_limit).size(), Veilrelay::MAX_PAYLOAD_SIZE);
    const auto package = run_awaitable(client.encrypt_payload(at_limit));
    EXPECT_EQ(open_package(package_text(package), vectors()["server_private_key_pem"].get<std::string>()).size(),
              Veilrelay::MAX_PAYLOAD_SIZE);

    router_->clear_requests();
    const auto error = expect_exact_throw<ValueError>([&] {
        run_awaitable(client.encrypt_payload(payload_of_serialised_size(Veilrelay::MAX_PAYLOAD_SIZE + 1)));
    });
    EXPECT_STREQ(error.what(), "Payload too large: 10485761 bytes (max: 10485760)");
    EXPECT_TRUE(router_->requests().empty());
}

TEST_F(ExchangeTest, EmptyPayloadFailsBeforeAnyNetworkCall) {
    Veilrelay client = make_client();
    LogCapture log("ossara.Veilrelay");
    const auto error = expect_exact_throw<ValueError>([&] { run_awaitable(client.encrypt_payload(json::object())); });
    EXPECT_STREQ(error.what(), "Payload cannot be empty");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Encrypting payload..."});
    EXPECT_TRUE(router_->requests().empty());
    EXPECT_THROW(run_awaitable(client.encrypt_payload(json::array({1}))), TypeError);
}

TEST_F(ExchangeTest, NonAsciiCountsAsItsEscape) {
    Veilrelay client = make_client();
    LogCapture log("ossara.Veilrelay");
    run_awaitable(client.encrypt_payload(json{{"x", "é"}}));  // {"x": "\u00e9"}
    EXPECT_TRUE(log.contains("Payload size: 15 bytes"));
}

TEST_F(ExchangeTest, PackagesAreFreshAndWellFormed) {
    Veilrelay client = make_client();
    const json payload = chat_payload("same");
    const auto a = json::parse(package_text(run_awaitable(client.encrypt_payload(payload))));
    const auto b = json::parse(package_text(run_awaitable(client.encrypt_payload(payload))));
    for (const char* member : {"ciphertext", "nonce", "tag"})
        EXPECT_NE(a["encrypted_payload"][member], b["encrypted_payload"][member]) << member;
    EXPECT_NE(a["encrypted_aes_key"], b["encrypted_aes_key"]);
    EXPECT_EQ(router_->requests().size(), 2u);  // the server key is fetched for every payload
}

TEST_F(ExchangeTest, KeyRetrievalFailuresAreMappedByKind) {
    Veilrelay client = make_client();
    // The router's error status is a ValueError of the retrieval: unchanged.
    router_->set_key_behaviour({KeyBehaviour::Kind::status, 500, "boom"});
    const auto status_error =
        expect_exact_throw<ValueError>([&] { run_awaitable(client.encrypt_payload(chat_payload("x"))); });
    EXPECT_STREQ(status_error.what(), "Failed to fetch server's public key: HTTP 500");

    // An unreachable router is a ConnectionError of the retrieval: replaced.
    const devrouter::ClosedPort closed;
    Veilrelay unreachable(closed.base_url(), true);
    const auto conn_error =
        expect_exact_throw<SecurityError>([&] { run_awaitable(unreachable.encrypt_payload(chat_payload("x"))); });
    EXPECT_STREQ(conn_error.what(), "Encryption operation failed");

    // The https policy's own SecurityError passes with its message.
    Veilrelay plain("http://127.0.0.1:1", /*allow_http=*/false);
    const auto policy_error =
        expect_exact_throw<SecurityError>([&] { run_awaitable(plain.encrypt_payload(chat_payload("x"))); });
    EXPECT_EQ(std::string(policy_error.what()).rfind("Server public key must be fetched over HTTPS", 0), 0u);
}

TEST_F(ExchangeTest, ServerKeyOfAnotherAlgorithmFailsTheEncryption) {
    // An EC key passes the retrieval's PEM check but cannot wrap the content key.
    const detail::EvpPkeyPtr ec(EVP_EC_gen("P-256"));
    router_->set_key_behaviour({KeyBehaviour::Kind::body, 200, detail::public_key_pem(ec.get())});
    Veilrelay client = make_client();
    const auto error =
        expect_exact_throw<SecurityError>([&] { run_awaitable(client.encrypt_payload(chat_payload("x"))); });
    EXPECT_STREQ(error.what(), "Encryption operation failed");
}

// Records the buffers seen right after both guards were entered.
class RecordingProbe final : public detail::EncryptProbe {
public:
    void guards_entered(std::span<const std::uint8_t> payload_source, std::span<const std::uint8_t> key_source,
                        std::span<const std::uint8_t> protected_payload,
                        std::span<const std::uint8_t> protected_key) override {
        ++calls;
        sources_zero = all_zero(payload_source) && all_zero(key_source);
        payload_size = protected_payload.size();
        protected_hold_secrets = !all_zero(protected_payload) && !all_zero(protected_key) && protected_key.size() == 32;
    }
    int calls = 0;
    bool sources_zero = false;
    bool protected_hold_secrets = false;
    std::size_t payload_size = 0;
};

TEST_F(ExchangeTest, SecurePathWipesSourcesAtEntryAndCopiesAtExit) {
    Veilrelay client = make_client(/*secure_memory=*/true);
    ASSERT_TRUE(client.use_secure_memory());
    (void)ossara::_get_secure_memory();  // make sure the secure-memory logger exists
    for (const bool retrieval_fails : {false, true}) {
        SCOPED_TRACE(retrieval_fails ? "key retrieval fails" : "key retrieval succeeds");
        router_->set_key_behaviour(retrieval_fails ? KeyBehaviour{KeyBehaviour::Kind::status, 503, ""}
                                                   : KeyBehaviour{});
        RecordingProbe probe;
        ossara::detail::ClientTestAccess::set_encrypt_probe(client, &probe);
        LogCapture vault_log("ossara.Hushvault");
        const json payload = chat_payload("secret prompt");
        const std::size_t size = detail::serialise_json(payload).size();
        try {
            run_awaitable(client.encrypt_payload(payload));
            EXPECT_FALSE(retrieval_fails);
        } catch (const ValueError&) {
            EXPECT_TRUE(retrieval_fails);
        }
        ossara::detail::ClientTestAccess::set_encrypt_probe(client, nullptr);
        EXPECT_EQ(probe.calls, 1);
        EXPECT_TRUE(probe.sources_zero);
        EXPECT_TRUE(probe.protected_hold_secrets);
        EXPECT_EQ(probe.payload_size, size);
        // Leaving the guards zeroes the key copy first, then the payload copy.
        const auto lines = vault_log.lines();
        const auto key_zeroed = std::find(lines.begin(), lines.end(), "Memory zeroed: 32 bytes");
        const auto payload_zeroed =
            std::find(lines.begin(), lines.end(), "Memory zeroed: " + std::to_string(size) + " bytes");
        ASSERT_NE(key_zeroed, lines.end());
        ASSERT_NE(payload_zeroed, lines.end());
        EXPECT_LT(key_zeroed, payload_zeroed);
    }
}

TEST_F(ExchangeTest, StandardPathWarnsOnEveryCall) {
    Veilrelay client = make_client(/*secure_memory=*/false);
    LogCapture log("ossara.Veilrelay");
    run_awaitable(client.encrypt_payload(chat_payload("a")));
    run_awaitable(client.encrypt_payload(chat_payload("b")));
    const auto warnings = log.lines_at(spdlog::level::warn);
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), "Secure memory not available, using standard encryption"),
              2);
}

TEST(KeyWrapCopy, IsZeroAfterTheWrapOnSuccessAndFailure) {
    const detail::EvpPkeyPtr server_key =
        detail::load_public_key_pem(vectors()["server_public_key_pem"].get<std::string>());
    std::vector<std::uint8_t> key(32, 0x5a);
    std::vector<std::uint8_t> copy(32, 0xff);
    const auto wrapped = detail::wrap_key_through_copy(server_key.get(), key, copy);
    EXPECT_EQ(wrapped.size(), 512u);
    EXPECT_TRUE(all_zero(copy));
    EXPECT_EQ(key, std::vector<std::uint8_t>(32, 0x5a));

    const detail::EvpPkeyPtr ec(EVP_EC_gen("P-256"));
    std::fill(copy.begin(), copy.end(), 0xff);
    EXPECT_ANY_THROW(detail::wrap_key_through_copy(ec.get(), key, copy));
    EXPECT_TRUE(all_zero(copy));
}

}  // namespace
}  // namespace ossara::testing
