#pragma once
// A log sink that shows each record's text terminal-safe (terminal_text.hpp)
// and hands it to another sink. Log records may quote what a router or a
// model server said (an error's text, a request path); on stderr that text
// must not reach the terminal as control sequences. The line format and its
// colours stay the inner sink's.
#include "terminal_text.hpp"

#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace veilrelay_cli {

class TerminalSafeSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit TerminalSafeSink(std::shared_ptr<spdlog::sinks::sink> inner) : inner_(std::move(inner)) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        const std::string text = terminal_safe(std::string_view(msg.payload.data(), msg.payload.size()));
        spdlog::details::log_msg shown = msg;
        shown.payload = text;
        inner_->log(shown);
    }
    void flush_() override { inner_->flush(); }
    void set_pattern_(const std::string& pattern) override { inner_->set_pattern(pattern); }
    void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override {
        inner_->set_formatter(std::move(formatter));
    }

private:
    std::shared_ptr<spdlog::sinks::sink> inner_;
};

}  // namespace veilrelay_cli
