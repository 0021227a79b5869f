#include <ossara/Veilrelay.hpp>

#include "core/logging.hpp"
#include "core/secure_memory_binding.hpp"
#include "support/log_capture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kHttpWarning =
    "\xE2\x9A\xA0\xEF\xB8\x8F  WARNING: Using HTTP instead of HTTPS. This is INSECURE and should only be used for "
    "local development. Man-in-the-middle attacks are possible!";
constexpr const char* kNonHttpsLog =
    "Non-HTTPS URL detected with allow_http=False. Requests will be rejected at runtime by fetch_server_public_key().";

struct Warning {
    std::string category;
    std::string message;
    std::string file;
    unsigned line;
};

// Records warnings instead of printing them; restores the previous handler.
class WarningRecorder {
public:
    WarningRecorder()
        : previous_(ossara::set_warning_handler([this](std::string_view c, std::string_view m, const std::source_location& w) {
              warnings.push_back({std::string(c), std::string(m), w.file_name(), w.line()});
          })) {}
    ~WarningRecorder() { ossara::set_warning_handler(previous_); }
    std::vector<Warning> warnings;

private:
    ossara::WarningHandler previous_;
};

class ClientConstruction : public ::testing::Test {
protected:
    // The module binding (and its possible fallback warning) happens before capturing.
    static ossara::testing::LogCapture* capture() {
        (void)ossara::detail::secure_memory_available();
        ossara::detail::log();
        return new ossara::testing::LogCapture("ossara.Veilrelay");
    }
    std::unique_ptr<ossara::testing::LogCapture> capture_{capture()};
    ossara::testing::LogCapture& logs = *capture_;
    WarningRecorder recorder;
};

TEST_F(ClientConstruction, TrailingSlashesAreRemovedAndNothingElse) {
    EXPECT_EQ(ossara::Veilrelay("https://router.example/api///").router_url(), "https://router.example/api");
    EXPECT_EQ(ossara::Veilrelay("https://router.example").router_url(), "https://router.example");
    EXPECT_EQ(ossara::Veilrelay("https://router.example/ /").router_url(), "https://router.example/ ");
    EXPECT_EQ(ossara::Veilrelay("///", true).router_url(), "");
}

TEST_F(ClientConstruction, DefaultsAndInitialFields) {
    const ossara::Veilrelay client;
    EXPECT_TRUE(client.router_url().starts_with("https://"));
    EXPECT_FALSE(client.router_url().ends_with("/"));
    EXPECT_EQ(client.key_size(), 4096);
    EXPECT_EQ(client.private_key(), nullptr);
    EXPECT_FALSE(client.public_key_pem().has_value());
    EXPECT_FALSE(client.allow_http());
    EXPECT_EQ(client.use_secure_memory(), ossara::detail::secure_memory_available());
    EXPECT_FALSE(ossara::Veilrelay("https://r.example", false, false).use_secure_memory());
    EXPECT_THAT(logs.lines(), IsEmpty());
    EXPECT_THAT(recorder.warnings, IsEmpty());
}

TEST_F(ClientConstruction, HttpWithoutAllowHttpLogsAndDoesNotWarn) {
    const ossara::Veilrelay client("http://localhost:8000", false);
    EXPECT_THAT(logs.lines_at(spdlog::level::warn), ElementsAre(kNonHttpsLog));
    EXPECT_THAT(recorder.warnings, IsEmpty());
}

TEST_F(ClientConstruction, HttpWithAllowHttpWarnsAtTheCallerAndDoesNotLog) {
    const unsigned line = __LINE__ + 1;
    const ossara::Veilrelay client("http://localhost:8000", true);
    ASSERT_EQ(recorder.warnings.size(), 1u);
    EXPECT_EQ(recorder.warnings[0].category, "UserWarning");
    EXPECT_EQ(recorder.warnings[0].message, kHttpWarning);
    EXPECT_EQ(recorder.warnings[0].line, line);
    EXPECT_THAT(recorder.warnings[0].file, ::testing::EndsWith("client_test.cpp"));
    EXPECT_THAT(logs.lines(), IsEmpty());
    EXPECT_TRUE(client.allow_http());
}

TEST_F(ClientConstruction, HttpsPrefixIsCaseSensitive) {
    const ossara::Veilrelay upper("HTTPS://router.example", false);
    EXPECT_THAT(logs.lines_at(spdlog::level::warn), ElementsAre(kNonHttpsLog));
    logs.clear();
    const ossara::Veilrelay lower("https://router.example", true);
    EXPECT_THAT(logs.lines(), IsEmpty());
    EXPECT_THAT(recorder.warnings, IsEmpty());
}

TEST(WarningChannel, DefaultHandlerPrintsOncePerLocation) {
    const auto previous = ossara::set_warning_handler({});
    const auto here = std::source_location::current();
    const auto there = std::source_location::current();
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) ossara::warn("UserWarning", "same place", here);
    ossara::warn("UserWarning", "other place", there);
    const std::string out = ::testing::internal::GetCapturedStderr();
    ossara::set_warning_handler(previous);

    const std::string file = here.file_name();
    EXPECT_EQ(out, file + ":" + std::to_string(here.line()) + ": UserWarning: same place\n" + file + ":" +
                       std::to_string(there.line()) + ": UserWarning: other place\n");
}

TEST(WarningChannel, SetHandlerReturnsThePreviousOne) {
    int first = 0;
    int second = 0;
    const auto original = ossara::set_warning_handler([&](auto, auto, const auto&) { ++first; });
    ossara::warn("UserWarning", "a", std::source_location::current());
    const auto replaced = ossara::set_warning_handler([&](auto, auto, const auto&) { ++second; });
    ossara::warn("UserWarning", "b", std::source_location::current());
    replaced("UserWarning", "c", std::source_location::current());
    ossara::set_warning_handler(original);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);
}

}  // namespace
