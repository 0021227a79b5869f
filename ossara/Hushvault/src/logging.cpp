#include "detail/logging.hpp"
#include "detail/unwinding.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <memory>

namespace ossara::detail {
namespace {

constexpr const char* kLoggerName = "ossara.Hushvault";

std::shared_ptr<spdlog::logger> obtain_logger() {
    // An application may have registered the name already; use its logger.
    if (auto existing = spdlog::get(kLoggerName)) return existing;
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    logger->set_level(spdlog::level::warn);
    try {
        spdlog::register_logger(logger);
    } catch (const spdlog::spdlog_ex&) {
        // Registered by another thread between the look-up and ours.
        if (auto existing = spdlog::get(kLoggerName)) return existing;
    }
    return logger;
}

// The logger exists as soon as the library is loaded, so applications can
// configure it before the first handler is created.
[[maybe_unused]] const bool logger_registered_at_load = (vault_log(), true);

}  // namespace

spdlog::logger& vault_log() {
    static const std::shared_ptr<spdlog::logger> logger = obtain_logger();
    return *logger;
}

std::string current_error_text() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (const detail::forced_unwind&) {
        throw;
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace ossara::detail
