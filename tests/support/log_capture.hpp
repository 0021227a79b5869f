#pragma once
// Captures what a named spdlog logger writes, at debug level, for assertions.
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ossara::testing {

struct LogRecord {
    spdlog::level::level_enum level;
    std::string text;
};

class RecordingSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogRecord> records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        records_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<LogRecord> records_;
};

// Attaches a recording sink to the logger for the lifetime of the object and
// lowers the logger to debug; both are restored on destruction. The logger's
// own sinks are replaced meanwhile so tests do not spam stderr.
class LogCapture {
public:
    explicit LogCapture(const std::string& logger_name)
        : logger_(spdlog::get(logger_name)), sink_(std::make_shared<RecordingSink>()) {
        if (!logger_) throw std::runtime_error("no logger named " + logger_name);
        saved_sinks_ = logger_->sinks();
        saved_level_ = logger_->level();
        logger_->sinks() = {sink_};
        logger_->set_level(spdlog::level::debug);
    }
    ~LogCapture() {
        logger_->sinks() = saved_sinks_;
        logger_->set_level(saved_level_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const { return sink_->records(); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (auto& r : sink_->records()) out.push_back(r.text);
        return out;
    }
    std::vector<std::string> lines_at(spdlog::level::level_enum level) const {
        std::vector<std::string> out;
        for (auto& r : sink_->records())
            if (r.level == level) out.push_back(r.text);
        return out;
    }
    bool contains(const std::string& text) const {
        for (auto& r : sink_->records())
            if (r.text == text) return true;
        return false;
    }
    void clear() { sink_->clear(); }

private:
    std::shared_ptr<spdlog::logger> logger_;
    std::shared_ptr<RecordingSink> sink_;
    std::vector<spdlog::sink_ptr> saved_sinks_;
    spdlog::level::level_enum saved_level_{};
};

}  // namespace ossara::testing
