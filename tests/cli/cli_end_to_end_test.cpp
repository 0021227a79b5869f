// The built `veilrelay` executable against the development router, started
// as a child process over HTTPS (a throw-away CA trusted through --ca-file).
#include "support/subprocess.hpp"

#include "devrouter/test_servers.hpp"
#include "support/test_certs.hpp"
#include "support/test_data.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

namespace ossara::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;

constexpr const char* kApiKey = "test-api-key-42";

void write(const fs::path& path, const std::string& text) { write_file(path, text); }

ordered_json vectors() {
    return ordered_json::parse(read_text_file(test_data_dir() / "vectors" / "packages.json"));
}

int count_lines(const std::string& text) {
    int lines = 0;
    for (const char c : text) lines += c == '\n' ? 1 : 0;
    return lines;
}

// One router for the whole suite: RSA keys come from the reference vectors
// so no 4096-bit key is generated per test.
class VeilrelayCli : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        const auto v = vectors();
        certs_ = make_test_certificates(dir_->path());
        write(server_key(), v["server_private_key_pem"].get<std::string>());
        fs::create_directory(keys_dir());
        write(keys_dir() / "private_key.pem", v["client_private_key_pem"].get<std::string>());
        write(api_key_file(), std::string(kApiKey) + "\n");
        fs::create_directory(dir_->path() / "router");
        router_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{DEV_ROUTER_EXE, "--port", "0", "--tls-cert", certs_.cert_file.string(),
                                     "--tls-key", certs_.key_file.string(), "--server-key", server_key().string(),
                                     "--api-key", kApiKey},
            dir_->path() / "router");
        url_ = router_->first_line(std::chrono::seconds(60));
    }
    static void TearDownTestSuite() {
        router_.reset();
        dir_.reset();
    }

    // Not "server-key.pem": that name holds the TLS key of the certificates.
    static fs::path server_key() { return dir_->path() / "package-key.pem"; }
    static fs::path keys_dir() { return dir_->path() / "keys"; }
    static fs::path api_key_file() { return dir_->path() / "api-key"; }

    // `veilrelay chat` against the suite's router with its CA, keys and API key.
    static std::vector<std::string> chat_args(std::vector<std::string> extra) {
        std::vector<std::string> args{VEILRELAY_EXE, "chat", "--router", url_, "--ca-file", certs_.ca_file.string(),
                                      "--keys", keys_dir().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    static void expect_one_error_line(const ProcessResult& r) {
        EXPECT_EQ(count_lines(r.err), 1) << r.err;
        EXPECT_TRUE(r.err.starts_with("veilrelay: error: ")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }

    static inline std::unique_ptr<TempDir> dir_;
    static inline TestCertificates certs_;
    static inline std::unique_ptr<BackgroundProcess> router_;
    static inline std::string url_;
};

TEST_F(VeilrelayCli, JsonAnswerOverHttpsWithApiKeyFromFile) {
    const auto r = run_process(chat_args({"--api-key-file", api_key_file().string(), "--json", "hello, router"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto answer = ordered_json::parse(r.out);
    EXPECT_EQ(answer["choices"][0]["message"]["content"], "hello, router");
    EXPECT_EQ(answer["model"], "echo");
    EXPECT_TRUE(answer.contains("_metadata"));
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(VeilrelayCli, MessageFromStdinPrintsOnlyTheContent) {
    const auto r = run_process(chat_args({"--api-key", kApiKey}), "ünïcode message\nsecond line\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "ünïcode message\nsecond line\n");
}

TEST_F(VeilrelayCli, StreamPrintsTheDeltasThenOneNewline) {
    auto r = run_process(chat_args({"--api-key", kApiKey, "--stream", "one two three"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "one two three\n");
    r = run_process(chat_args({"--api-key", kApiKey, "--stream", "--json", "one two three"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<ordered_json> chunks;
    for (std::string line; std::getline(lines, line);) chunks.push_back(ordered_json::parse(line));
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[2]["object"], "chat.completion.chunk");
    EXPECT_EQ(chunks[2]["choices"][0]["delta"]["content"], "three");
}

// The echo model answers with the prompt, so a prompt with escape sequences
// is an answer with them. --json keeps the exact text, escaped: the whole
// answer, and one chunk a line. (Text and error lines: router_cli_test.cpp.)
TEST_F(VeilrelayCli, JsonCarriesEscapeSequencesOnlyEscaped) {
    const std::string hostile = "clip\x1b]52;c;ZXZpbA==\x07 title\x1b]0;owned\x07 cls\x1b[2J\a\r\b c1\u009b1m\x7f";
    auto r = run_process(chat_args({"--api-key", kApiKey, "--json", hostile}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(first_terminal_control(r.out), std::string::npos) << r.out;
    EXPECT_EQ(ordered_json::parse(r.out)["choices"][0]["message"]["content"], hostile);
    r = run_process(chat_args({"--api-key", kApiKey, "--json", "--stream", hostile}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(first_terminal_control(r.out), std::string::npos) << r.out;
    std::istringstream lines(r.out);
    std::string streamed;
    for (std::string line; std::getline(lines, line);)
        streamed += ordered_json::parse(line)["choices"][0]["delta"].value("content", std::string());
    EXPECT_EQ(streamed, hostile);
    EXPECT_EQ(run_process(chat_args({"--api-key", kApiKey, "--json", "--raw", "hi"})).exit_code, 2);
}

TEST_F(VeilrelayCli, PayloadFileIsSentAsTheRequest) {
    const fs::path payload = dir_->path() / "payload.json";
    write(payload, R"({"model": "file-model", "messages": [{"role": "system", "content": "be brief"},)"
                   R"( {"role": "user", "content": "from the file"}], "temperature": 0})");
    auto r = run_process(chat_args({"--api-key", kApiKey, "--payload", payload.string(), "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto answer = ordered_json::parse(r.out);
    EXPECT_EQ(answer["model"], "file-model");
    EXPECT_EQ(answer["choices"][0]["message"]["content"], "from the file");

    r = run_process(chat_args({"--api-key", kApiKey, "--payload", payload.string(), "--model", "cli-model", "--json"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ordered_json::parse(r.out)["model"], "cli-model");

    r = run_process(chat_args({"--payload", payload.string(), "a message too"}));
    EXPECT_EQ(r.exit_code, 2);
    expect_one_error_line(r);
}

TEST_F(VeilrelayCli, EachFailureIsOneLineWithItsOwnExitCode) {
    const fs::path wrong_key = dir_->path() / "wrong-key";
    write(wrong_key, "not-the-key\n");
    const ossara::devrouter::ClosedPort closed_tls, closed_plain;
    const auto refused = "https://127.0.0.1:" + std::to_string(closed_tls.port());
    const auto plain = closed_plain.base_url();

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exit_code;
        const char* says;
    };
    const Case cases[] = {
        {"wrong api key", chat_args({"--api-key-file", wrong_key.string(), "hi"}), 3, "--api-key"},
        {"no api key", chat_args({"hi"}), 3, "--api-key"},
        {"unreachable router",
         {VEILRELAY_EXE, "chat", "--router", refused, "--keys", keys_dir().string(), "hi"}, 7,
         "Failed to connect to server: "},
        {"http without --allow-http", {VEILRELAY_EXE, "chat", "--router", plain, "hi"}, 8, "--allow-http"},
        {"untrusted certificate", {VEILRELAY_EXE, "chat", "--router", url_, "--keys", keys_dir().string(), "hi"}, 7,
         "Failed to connect to server: "},
        {"invalid tier", chat_args({"--tier", "HIGH", "hi"}), 2, "--help"},
        {"missing api key file", chat_args({"--api-key-file", (dir_->path() / "nope").string(), "hi"}), 10, "nope"},
        {"empty message", chat_args({""}), 2, "no message"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = run_process(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        expect_one_error_line(r);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST_F(VeilrelayCli, WrongKeyPasswordIsInvalidInput) {
    // The suite's key pair, re-encrypted with a password.
    const auto v = vectors();
    const std::string pem = v["client_private_key_pem"].get<std::string>();
    const std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr),
                                                                &EVP_PKEY_free);
    const std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
    const std::string password = "correct horse";
    ASSERT_EQ(PEM_write_bio_PKCS8PrivateKey(out.get(), key.get(), EVP_aes_256_cbc(), password.c_str(),
                                            static_cast<int>(password.size()), nullptr, nullptr),
              1);
    char* data = nullptr;
    const long len = BIO_get_mem_data(out.get(), &data);
    const fs::path keys = dir_->path() / "encrypted-keys";
    fs::create_directories(keys);
    write(keys / "private_key.pem", std::string(data, static_cast<std::size_t>(len)));
    write(dir_->path() / "good-password", password + "\n");
    write(dir_->path() / "bad-password", "wrong\n");

    const std::vector<std::string> base{VEILRELAY_EXE, "chat", "--router", url_, "--ca-file", certs_.ca_file.string(),
                                        "--keys", keys.string(), "--api-key", kApiKey};
    auto args = base;
    args.insert(args.end(), {"--password-file", (dir_->path() / "good-password").string(), "locked away"});
    auto r = run_process(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "locked away\n");

    args = base;
    args.insert(args.end(), {"--password-file", (dir_->path() / "bad-password").string(), "locked away"});
    r = run_process(args);
    EXPECT_EQ(r.exit_code, 9) << r.err;
    expect_one_error_line(r);
    EXPECT_NE(r.err.find("Failed to load private key: "), std::string::npos) << r.err;
}

TEST_F(VeilrelayCli, PlainHttpRouterWithAllowHttpWarnsOnce) {
    const TempDir logs;
    BackgroundProcess http_router({DEV_ROUTER_EXE, "--port", "0", "--server-key", server_key().string()}, logs.path());
    const std::string url = http_router.first_line(std::chrono::seconds(60));
    ASSERT_TRUE(url.starts_with("http://")) << url;

    const auto r = run_process({VEILRELAY_EXE, "chat", "--router", url, "--allow-http", "--keys", keys_dir().string(),
                                "over plain http"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "over plain http\n");
    const std::string warning = "veilrelay: warning: Using HTTP instead of HTTPS.";
    const auto first = r.err.find(warning);
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(warning, first + 1), std::string::npos) << r.err;
}

TEST_F(VeilrelayCli, KeysGenerateShowAndRefuseToOverwrite) {
    const TempDir home;
    const fs::path keys = home.path() / "store";
    auto r = run_process({VEILRELAY_EXE, "keys", "generate", "--keys", keys.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("generating a 4096-bit RSA key pair"), std::string::npos) << r.err;
    EXPECT_EQ(fs::status(keys).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(keys / "private_key.pem").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    r = run_process({VEILRELAY_EXE, "keys", "show", "--keys", keys.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string pem = read_text_file(keys / "public_key.pem");
    EXPECT_TRUE(r.out.starts_with("-----BEGIN PUBLIC KEY-----\n")) << r.out;
    EXPECT_NE(r.out.find("-----END PUBLIC KEY-----\nSHA-256 fingerprint: "), std::string::npos) << r.out;
    const auto fp = r.out.substr(r.out.rfind(": ") + 2);
    EXPECT_EQ(fp.size(), 32 * 3) << fp;  // 32 hex pairs, 31 colons, the line break

    r = run_process({VEILRELAY_EXE, "keys", "generate", "--keys", keys.string()});
    EXPECT_EQ(r.exit_code, 2);
    expect_one_error_line(r);
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_EQ(read_text_file(keys / "public_key.pem"), pem);
}

TEST_F(VeilrelayCli, InfoPrintsProtectionInfoAsJson) {
    const auto r = run_process({VEILRELAY_EXE, "info"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto info = ordered_json::parse(r.out);
    EXPECT_TRUE(info["memory_protection"].is_object());
    EXPECT_TRUE(info["memory_protection"]["excludes_from_core_dumps"].is_boolean());
    EXPECT_TRUE(info["memlock_limit"].contains("soft"));

    // Output that cannot be written is a failure, not a silent success.
    if (fs::exists("/dev/full")) {
        const auto full = run_process({"/bin/sh", "-c", std::string("exec '") + VEILRELAY_EXE + "' info >/dev/full"});
        EXPECT_EQ(full.exit_code, 1) << full.err;
        EXPECT_EQ(count_lines(full.err), 1) << full.err;
        EXPECT_NE(full.err.find("cannot write to standard output"), std::string::npos) << full.err;
    }
}

}  // namespace
}  // namespace ossara::testing

namespace ossara::testing {
namespace {

// router-key prints what --pin takes; a matching pin lets the request
// through, any other refuses it with the security exit code.
TEST_F(VeilrelayCli, RouterKeyPrintsTheFingerprintThatPinTakes) {
    auto r = run_process({VEILRELAY_EXE, "router-key", "--router", url_, "--ca-file", certs_.ca_file.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("-----BEGIN PUBLIC KEY-----")) << r.out;
    const std::string marker = "SHA-256 fingerprint: ";
    const auto at = r.out.find(marker);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string fingerprint = r.out.substr(at + marker.size(), 95);
    EXPECT_EQ(r.out.substr(at + marker.size()), fingerprint + "\n");

    r = run_process(chat_args({"--api-key", kApiKey, "--pin", fingerprint, "pinned"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "pinned\n");

    std::string other = fingerprint;
    other[0] = other[0] == '0' ? '1' : '0';
    r = run_process(chat_args({"--api-key", kApiKey, "--pin", other, "pinned"}));
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_NE(r.err.find("does not match the pinned key"), std::string::npos) << r.err;

    // --pin repeated (a key rotation): any one of the pins admits the key.
    std::string third = other;
    third[1] = third[1] == '0' ? '1' : '0';
    const std::vector<std::pair<std::vector<std::string>, int>> rows = {
        {{"--pin", other, "--pin", fingerprint}, 0},
        {{"--pin", fingerprint, "--pin", other}, 0},
        {{"--pin", other, "--pin", third}, 8},
    };
    for (const auto& [pins, exit_code] : rows) {
        auto args = pins;
        args.insert(args.end(), {"--api-key", kApiKey, "pinned"});
        r = run_process(chat_args(args));
        EXPECT_EQ(r.exit_code, exit_code) << ::testing::PrintToString(pins) << r.err;
        if (exit_code == 0) {
            EXPECT_EQ(r.out, "pinned\n");
        }
        auto key_args = pins;
        key_args.insert(key_args.begin(), {VEILRELAY_EXE, "router-key", "--router", url_, "--ca-file",
                                           certs_.ca_file.string()});
        EXPECT_EQ(run_process(key_args).exit_code, exit_code) << ::testing::PrintToString(pins);
    }
}

}  // namespace
}  // namespace ossara::testing
