#include "logging_setup.hpp"

#include "terminal.hpp"
#include "terminal_safe_sink.hpp"
#include "terminal_text.hpp"

#include <ossara/veilrelay/warnings.hpp>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace veilrelay_cli {

namespace {

constexpr const char* kLoggerNames[] = {"ossara.Veilrelay", "ossara.Hushvault"};
// Verbose output names the library that wrote each line.
constexpr const char* kPattern = "veilrelay: %l: %v";
constexpr const char* kVerbosePattern = "veilrelay: %l: [%n] %v";

// stderr, where a warning or error already printed in this run is not
// printed again: every request fetches the router's key, and an http://
// router would otherwise repeat the same two warnings per fetch.
// On a terminal each line first clears the current line, so a message that
// arrives while the key-generation spinner turns replaces the spinner's line
// instead of being glued to it (the spinner redraws on the next line).
// A record's stack trace (the library's catch-all attaches one) is for -v:
// here the record ends before it, and the failure line with its hint follows.
class FirstOccurrenceSink final : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::string_view payload(msg.payload.data(), msg.payload.size());
        if (const auto trace = payload.find("\nStack trace:"); trace != std::string_view::npos)
            payload = payload.substr(0, trace);
        if (msg.level >= spdlog::level::warn && !seen_.emplace(payload).second) return;
        spdlog::details::log_msg shown = msg;
        shown.payload = payload;
        spdlog::memory_buf_t line;
        if (terminal_) line.append(std::string_view("\r\033[K"));
        formatter_->format(shown, line);
        // One write, so the spinner thread cannot cut into the line.
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    void flush_() override { std::fflush(stderr); }

private:
    std::set<std::string> seen_;
    bool terminal_ = is_terminal(stderr);
};

std::shared_ptr<spdlog::logger> get_or_register(const std::string& name) {
    if (auto existing = spdlog::get(name)) return existing;
    auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    logger->set_level(spdlog::level::warn);
    spdlog::register_logger(logger);
    return logger;
}

// The library's warning text opens with a warning sign and "WARNING: ";
// the tool already says "warning:" in its own prefix.
std::string without_marker(std::string_view message) {
    constexpr std::string_view kMarker = "WARNING: ";
    const auto at = message.find(kMarker);
    if (at != std::string_view::npos && at <= 8) message.remove_prefix(at + kMarker.size());
    return std::string(message);
}

}  // namespace

void configure_logging(int verbosity) {
    const auto level = verbosity >= 2 ? spdlog::level::debug : verbosity == 1 ? spdlog::level::info : spdlog::level::warn;
    for (const char* name : kLoggerNames) {
        const auto logger = get_or_register(name);
        if (verbosity == 0) logger->sinks() = {std::make_shared<FirstOccurrenceSink>()};
        // A record may quote the router (an unforeseen error's text).
        for (auto& sink : logger->sinks())
            if (!std::dynamic_pointer_cast<TerminalSafeSink>(sink)) sink = std::make_shared<TerminalSafeSink>(sink);
        logger->set_pattern(verbosity > 0 ? kVerbosePattern : kPattern);
        logger->set_level(level);
    }
}

void install_warning_handler() {
    ossara::set_warning_handler([](std::string_view category, std::string_view message, const std::source_location&) {
        static std::mutex mutex;
        static std::set<std::string> seen;
        std::string text = terminal_safe(without_marker(message));
        const std::lock_guard<std::mutex> lock(mutex);
        if (!seen.insert(std::string(category) + '\n' + text).second) return;
        std::fprintf(stderr, "veilrelay: warning: %s\n", text.c_str());
        std::fflush(stderr);
    });
}

}  // namespace veilrelay_cli
