#include <ossara/veilrelay/errors.hpp>

#include "codec/package.hpp"
#include "exchange/error_report.hpp"
#include "transport/http_transport.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace {

using json = nlohmann::ordered_json;

template <typename Error>
void expect_default_status(int status) {
    const Error error("boom");
    EXPECT_EQ(error.status_code, status);
    EXPECT_EQ(error.message, "boom");
    EXPECT_STREQ(error.what(), "boom");
    EXPECT_FALSE(error.error_details.has_value());
}

TEST(Errors, StatusClassesDefaultToTheirOwnStatus) {
    expect_default_status<ossara::AuthenticationError>(401);
    expect_default_status<ossara::InvalidRequestError>(400);
    expect_default_status<ossara::RateLimitError>(429);
    expect_default_status<ossara::ForbiddenError>(403);
    expect_default_status<ossara::ServerError>(500);
    expect_default_status<ossara::ServiceUnavailableError>(503);
}

TEST(Errors, ApiErrorFromMessageAloneHasNoStatusAndNoDetails) {
    const ossara::APIError error("went wrong");
    EXPECT_STREQ(error.what(), "went wrong");
    EXPECT_FALSE(error.status_code.has_value());
    EXPECT_FALSE(error.error_details.has_value());
}

TEST(Errors, ExplicitStatusReplacesTheDefaultAndTextIsTheMessageAlone) {
    EXPECT_EQ(ossara::ServerError("bad gateway", 502).status_code, 502);

    const json details = {{"detail", "model not allowed"}, {"tier", "high"}};
    const ossara::ForbiddenError error("Forbidden: nope", 403, details);
    EXPECT_STREQ(error.what(), "Forbidden: nope");
    ASSERT_TRUE(error.error_details.has_value());
    EXPECT_EQ(*error.error_details, details);
}

TEST(Errors, DetailsThatAreNotAnObjectAreTheWrongKind) {
    EXPECT_THROW(ossara::APIError("m", 400, json::array({1, 2})), ossara::TypeError);
    EXPECT_THROW(ossara::ServerError("m", 500, json("text")), ossara::TypeError);
    EXPECT_NO_THROW(ossara::APIError("m", std::nullopt, json::object()));
}

TEST(Errors, CatchRelations) {
    // APIError catches the six status classes but not its two siblings.
    static_assert(std::is_base_of_v<ossara::APIError, ossara::RateLimitError>);
    static_assert(std::is_base_of_v<ossara::APIError, ossara::ServiceUnavailableError>);
    static_assert(!std::is_base_of_v<ossara::APIError, ossara::SecurityError>);
    static_assert(!std::is_base_of_v<ossara::APIError, ossara::APIConnectionError>);
    // Exception catches all nine and the general kinds, never cancellation.
    static_assert(std::is_base_of_v<ossara::Exception, ossara::SecurityError>);
    static_assert(std::is_base_of_v<ossara::Exception, ossara::APIConnectionError>);
    static_assert(std::is_base_of_v<ossara::Exception, ossara::ForbiddenError>);
    static_assert(std::is_base_of_v<ossara::Exception, ossara::ValueError>);
    static_assert(std::is_base_of_v<ossara::Exception, ossara::TypeError>);
    static_assert(std::is_base_of_v<ossara::Exception, ossara::ConnectionError>);
    static_assert(!std::is_base_of_v<ossara::Exception, ossara::CancelledError>);
    static_assert(std::is_base_of_v<std::exception, ossara::CancelledError>);

    auto caught_as_api_error = [](auto error) {
        try {
            throw error;
        } catch (const ossara::APIError&) {
            return true;
        } catch (const ossara::Exception&) {
            return false;
        }
    };
    EXPECT_TRUE(caught_as_api_error(ossara::InvalidRequestError("x")));
    EXPECT_FALSE(caught_as_api_error(ossara::SecurityError("x")));
    EXPECT_FALSE(caught_as_api_error(ossara::APIConnectionError("x")));

    bool passed_through = false;
    try {
        try {
            throw ossara::CancelledError();
        } catch (const ossara::Exception&) {
            FAIL() << "cancellation must not be an ossara::Exception";
        }
    } catch (const ossara::CancelledError&) {
        passed_through = true;
    }
    EXPECT_TRUE(passed_through);
}

// The catch-all's record: the stack where the library raised the error (its
// frames named), never the handler's; an error from elsewhere has none.
TEST(ErrorRecord, TraceIsTheOneTakenWhereTheLibraryRaisedTheError) {
    std::string text;
    try {
        static constexpr char kArray[] = "[1, 2]";
        ossara::detail::check_package({reinterpret_cast<const std::uint8_t*>(kArray), sizeof kArray - 1});
    } catch (const std::exception& e) {
        text = ossara::detail::describe_error_with_stack(e);
    }
    EXPECT_EQ(text.rfind("ossara::ValueError: Invalid encrypted package format: not a JSON object\nStack trace:\n  #0 ", 0),
              0u)
        << text;
    // Past the error's own constructor, the first frame is in the library,
    // where check_package threw (its error path carries no exported name),
    // and none is the handler's.
    std::istringstream frames(text.substr(text.find("\n  #0 ")));
    std::string frame;
    while (std::getline(frames, frame) && (frame.empty() || frame.find("Exception::Exception") != std::string::npos ||
                                           frame.find("Error::") != std::string::npos)) {
    }
#if defined(_WIN32)
    EXPECT_NE(frame.find("Veilrelay.dll+0x"), std::string::npos) << text;
#elif defined(__APPLE__)
    EXPECT_NE(frame.find("libVeilrelay.1.dylib"), std::string::npos) << text;
#else
    EXPECT_NE(frame.find("libVeilrelay.so"), std::string::npos) << text;
#endif
    EXPECT_EQ(text.find("describe_error_with_stack"), std::string::npos) << text;

    const ossara::detail::HttpError http(ossara::detail::HttpFailure::timeout, 28, "Operation timed out");
    EXPECT_GT(http.throw_site().count, 0);
    EXPECT_NE(ossara::detail::describe_error_with_stack(http).find("\nStack trace:\n  #0 "), std::string::npos);

    EXPECT_EQ(ossara::detail::describe_error_with_stack(std::runtime_error("boom")),
              "std::runtime_error: boom\nStack trace: not available (the error was raised outside this library)");
}

}  // namespace
