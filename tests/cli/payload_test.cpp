// Building requests from the command line and reading answers.
#include "exit_codes.hpp"
#include "payload.hpp"
#include "support/test_data.hpp"
#include "text_input.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace veilrelay_cli {
namespace {

using ossara::json;
using ossara::testing::TempDir;

void write(const std::filesystem::path& path, const std::string& text) { ossara::testing::write_file(path, text); }

std::vector<std::string> keys_of(const json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

TEST(Payload, MessageBecomesOneUserTurn) {
    const json payload = chat_payload("echo", "héllo \"there\"");
    EXPECT_EQ(payload.dump(), R"({"model":"echo","messages":[{"role":"user","content":"héllo \"there\""}]})");
}

TEST(Payload, FileKeepsMemberOrderAndModelOverrideKeepsItsPlace) {
    const TempDir dir;
    const auto path = dir.path() / "payload.json";
    write(path, R"({"temperature": 0.2, "model": "from-file", "messages": [], "zeta": 1, "alpha": 2})");

    const json as_is = payload_from_file(path, std::nullopt);
    EXPECT_EQ(keys_of(as_is), (std::vector<std::string>{"temperature", "model", "messages", "zeta", "alpha"}));
    EXPECT_EQ(as_is["model"], "from-file");

    const json overridden = payload_from_file(path, std::string("cli-model"));
    EXPECT_EQ(keys_of(overridden), keys_of(as_is));
    EXPECT_EQ(overridden["model"], "cli-model");

    write(path, R"({"messages": []})");
    EXPECT_EQ(keys_of(payload_from_file(path, std::string("m"))), (std::vector<std::string>{"messages", "model"}));
}

TEST(Payload, FileThatIsNoObjectIsRefusedWithItsName) {
    const TempDir dir;
    const auto path = dir.path() / "bad.json";
    for (const char* text : {"[1, 2]", "\"text\"", "{\"unterminated\": ", ""}) {
        SCOPED_TRACE(text);
        write(path, text);
        try {
            payload_from_file(path, std::nullopt);
            ADD_FAILURE() << "accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("bad.json"), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(payload_from_file(dir.path() / "missing.json", std::nullopt), std::filesystem::filesystem_error);
}

TEST(Payload, AnswerTextIsTheFirstChoicesContent) {
    EXPECT_EQ(answer_text(json::parse(R"({"choices": [{"message": {"content": "hi\nthere"}}]})")), "hi\nthere");
    EXPECT_EQ(answer_text(json::parse(R"({"choices": [{"message": {"content": [1, 2]}}]})")), "[1,2]");
    for (const char* text : {R"({})", R"({"choices": []})", R"({"choices": [1]})", R"({"choices": [{"message": {}}]})",
                             R"({"choices": {"message": {"content": "x"}}})", R"([])"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(answer_text(json::parse(text)), std::runtime_error);
    }
}

// A streamed answer's chunks: model-server deltas, and a whole answer relayed
// as the only chunk (which printed nothing before).
TEST(Payload, ChunkTextIsTheDeltaOrTheWholeAnswer) {
    const struct {
        const char* chunk;
        const char* text;
    } rows[] = {
        {R"({"object": "chat.completion.chunk", "choices": [{"delta": {"content": "one "}}]})", "one "},
        {R"({"object": "chat.completion.chunk", "choices": [{"delta": {"role": "assistant"}}]})", ""},
        {R"({"object": "chat.completion.chunk", "choices": [{"delta": {}, "finish_reason": "stop"}]})", ""},
        {R"({"object": "chat.completion.chunk", "choices": [], "usage": {"total_tokens": 2}})", ""},
        {R"({"object": "chat.completion", "choices": [{"message": {"content": "whole answer"}}]})", "whole answer"},
        {R"({"choices": [{"delta": {"content": 7}}]})", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.chunk);
        EXPECT_EQ(chunk_text(json::parse(row.chunk)), row.text);
    }
}

TEST(Payload, IdsAreFreshAndHeaderSafe) {
    std::set<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        const std::string id = new_payload_id();
        ASSERT_EQ(id.size(), std::string("veilrelay-").size() + 32);
        EXPECT_EQ(id.find_first_not_of("veilrayd-0123456789abcdef"), std::string::npos) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 100U);
}

TEST(SecretFile, TakesTheFirstLineWithoutBlanks) {
    const TempDir dir;
    const auto path = dir.path() / "secret";
    const std::pair<const char*, const char*> cases[] = {
        {"key-123\n", "key-123"},
        {"key-123\r\nsecond line\n", "key-123"},
        {"  key with inner space \t\n", "key with inner space"},
        {"no-newline", "no-newline"},
    };
    for (const auto& [content, expected] : cases) {
        write(path, content);
        EXPECT_EQ(read_secret_file(path, "API key"), expected);
    }
    for (const char* empty : {"", "\n", "   \nkey-on-line-two\n"}) {
        write(path, empty);
        EXPECT_THROW(read_secret_file(path, "API key"), InputError) << empty;
    }
    EXPECT_THROW(read_secret_file(dir.path() / "missing", "API key"), std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace veilrelay_cli
