// How failures leave the tool: exit code per error class, one line of text.
#include "exit_codes.hpp"
#include "logging_setup.hpp"

#include <ossara/Veilrelay.hpp>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>

namespace veilrelay_cli {
namespace {

struct Row {
    const char* name;
    std::function<std::exception_ptr()> make;
    ExitCode expected;
};

template <typename E, typename... Args>
std::function<std::exception_ptr()> error(Args... args) {
    return [=] { return std::make_exception_ptr(E(args...)); };
}

const Row kRows[] = {
    {"authentication", error<ossara::AuthenticationError>("Invalid API key"), ExitCode::authentication},
    {"forbidden", error<ossara::ForbiddenError>("Forbidden: no"), ExitCode::forbidden},
    {"rate_limit", error<ossara::RateLimitError>("Rate limit exceeded: x"), ExitCode::rate_limited},
    {"bad_request", error<ossara::InvalidRequestError>("Bad request: x"), ExitCode::api_error},
    {"server_error", error<ossara::ServerError>("Server error: x"), ExitCode::api_error},
    {"unavailable", error<ossara::ServiceUnavailableError>("Service unavailable: x"), ExitCode::api_error},
    {"plain_api_error", error<ossara::APIError>("Unexpected status code: 502 unknown"), ExitCode::api_error},
    {"api_connection", error<ossara::APIConnectionError>("Failed to connect to router: x"), ExitCode::connection},
    {"connection", error<ossara::ConnectionError>("Connection to server timed out"), ExitCode::connection},
    {"security", error<ossara::SecurityError>("Encryption operation failed"), ExitCode::security},
    {"value", error<ossara::ValueError>("Failed to load private key: bad"), ExitCode::invalid_input},
    {"type", error<ossara::TypeError>("wrong kind"), ExitCode::invalid_input},
    {"usage", error<UsageError>("bad option"), ExitCode::usage},
    {"input", error<InputError>("bad payload"), ExitCode::invalid_input},
    {"file", [] {
         return std::make_exception_ptr(std::filesystem::filesystem_error(
             "cannot open file", "/nope", std::make_error_code(std::errc::no_such_file_or_directory)));
     }, ExitCode::file_error},
    {"cancelled", error<ossara::CancelledError>(), ExitCode::failure},
    {"other", error<std::runtime_error>("boom"), ExitCode::failure},
    {"not_an_exception", [] { return std::make_exception_ptr(42); }, ExitCode::failure},
};

TEST(ExitCodes, EachErrorClassHasItsCodeAndOneLine) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        const auto report = describe_failure(row.make());
        EXPECT_EQ(report.code, row.expected);
        EXPECT_TRUE(report.line.starts_with("veilrelay: error: ")) << report.line;
        EXPECT_EQ(report.line.find('\n'), std::string::npos);
    }
}

TEST(ExitCodes, ClassesAUserMustTellApartGetDistinctCodes) {
    // Scripts branch on these: a bad key, a refusal, throttling, an unreachable
    // router and a security stop must never share a code.
    const std::set<ExitCode> codes{
        describe_failure(std::make_exception_ptr(ossara::AuthenticationError("a"))).code,
        describe_failure(std::make_exception_ptr(ossara::ForbiddenError("a"))).code,
        describe_failure(std::make_exception_ptr(ossara::RateLimitError("a"))).code,
        describe_failure(std::make_exception_ptr(ossara::APIError("a"))).code,
        describe_failure(std::make_exception_ptr(ossara::APIConnectionError("a"))).code,
        describe_failure(std::make_exception_ptr(ossara::SecurityError("a"))).code,
        describe_failure(std::make_exception_ptr(ossara::ValueError("a"))).code,
        describe_failure(std::make_exception_ptr(UsageError("a"))).code,
    };
    EXPECT_EQ(codes.size(), 8U);
    EXPECT_EQ(codes.count(ExitCode::ok), 0U);
}

TEST(ExitCodes, ReportKeepsTheMessageOnOneLineAndSaysWhatToDo) {
    const auto report =
        describe_failure(std::make_exception_ptr(ossara::APIError("Server error: line one\nline two\r\n")));
    EXPECT_EQ(report.line.find('\n'), std::string::npos);
    EXPECT_EQ(report.line.find('\r'), std::string::npos);
    EXPECT_NE(report.line.find("line one line two"), std::string::npos) << report.line;

    const auto http = describe_failure(std::make_exception_ptr(
        ossara::SecurityError("the router URL 'http://127.0.0.1:1' does not use HTTPS")));
    EXPECT_NE(http.line.find("--allow-http"), std::string::npos) << http.line;
    const auto auth = describe_failure(std::make_exception_ptr(ossara::AuthenticationError("Invalid API key")));
    EXPECT_NE(auth.line.find("--api-key"), std::string::npos) << auth.line;
}

// A router's or model server's words in an error: nothing in the line may
// drive the terminal (clipboard, window title, screen, cursor, bell).
TEST(ExitCodes, ReportShowsControlCharactersFromTheRouterVisibly) {
    const auto report = describe_failure(std::make_exception_ptr(ossara::RateLimitError(
        "Rate limit exceeded: \x1b]52;c;ZXZpbA==\x07 \x1b]0;title\x07 \x1b[2J back\bspace \u009b1m \x9b")));
    EXPECT_EQ(report.code, ExitCode::rate_limited);
    EXPECT_EQ(report.line,
              "veilrelay: error: Rate limit exceeded: ^[]52;c;ZXZpbA==^G ^[]0;title^G ^[[2J back^Hspace <U+009B>1m <9B>"
              " -- wait a moment and try again");
}

TEST(ExitCodes, HelpListsEveryCode) {
    const std::string help = exit_code_help();
    for (int code = 0; code <= static_cast<int>(ExitCode::file_error); ++code)
        EXPECT_NE(help.find("  " + std::to_string(code) + " "), std::string::npos) << code;
}

// What stderr shows while `log` runs.
std::string stderr_of(const std::function<void()>& log) {
    std::fflush(stderr);
    std::FILE* const capture = std::tmpfile();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(capture), STDERR_FILENO);
    log();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string text(static_cast<std::size_t>(std::ftell(capture)), '\0');
    std::rewind(capture);
    text.resize(std::fread(text.data(), 1, text.size(), capture));
    std::fclose(capture);
    // Log lines end with CR LF on Windows.
    for (auto cr = text.find("\r\n"); cr != std::string::npos; cr = text.find("\r\n", cr)) text.erase(cr, 1);
    return text;
}

// The catch-all's record: its stack trace with -v only; by default the
// record ends before it (the failure line and its hint follow it).
TEST(ExitCodes, CatchAllRecordShowsItsTraceOnlyWhenVerbose) {
    const std::string record =
        "Unexpected error in send_secure_request\nossara::ValueError: bad\nStack trace:\n  #0 f+0x1 (libx.so)";
#if !defined(_WIN32)
    // On Windows the verbose (colour) sink writes to the console handle it
    // found when it was made, which this capture cannot redirect.
    configure_logging(1);
    EXPECT_NE(stderr_of([&] { spdlog::get("ossara.Veilrelay")->error(record); }).find("Stack trace:\n  #0 f+0x1"),
              std::string::npos);
#endif
    configure_logging(0);
    EXPECT_EQ(stderr_of([&] { spdlog::get("ossara.Veilrelay")->error(record); }),
              "veilrelay: error: Unexpected error in send_secure_request\nossara::ValueError: bad\n");
    configure_logging(0);
}

// A record may quote the router; with or without -v it reaches stderr with
// its control characters shown.
TEST(ExitCodes, LogRecordsShowControlCharactersVisibly) {
    const std::string record = "Unexpected error in next\nossara::ValueError: \x1b]0;title\x07\x1b[2J\r";
    for (const int verbosity : {1, 0}) {
#if defined(_WIN32)
        if (verbosity > 0) continue;  // the colour sink writes to a console handle this capture cannot redirect
#endif
        configure_logging(verbosity);
        const std::string shown = stderr_of([&] { spdlog::get("ossara.Veilrelay")->error(record); });
        EXPECT_NE(shown.find("ossara::ValueError: ^[]0;title^G^[[2J^M\n"), std::string::npos) << verbosity << shown;
    }
    configure_logging(0);
}

}  // namespace
}  // namespace veilrelay_cli
