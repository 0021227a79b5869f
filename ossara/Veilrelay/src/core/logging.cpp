#include "core/logging.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <mutex>

namespace ossara::detail {

namespace {
constexpr const char* kLoggerName = "ossara.Veilrelay";

std::shared_ptr<spdlog::logger> get_or_register() {
    // spdlog's registry throws on a second registration, so look the name up
    // first; the mutex closes the window between lookup and registration.
    static std::mutex registration;
    std::lock_guard<std::mutex> lock(registration);
    if (auto existing = spdlog::get(kLoggerName)) return existing;
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    logger->set_level(spdlog::level::warn);
    spdlog::register_logger(logger);
    return logger;
}
}  // namespace

spdlog::logger& log() {
    static const std::shared_ptr<spdlog::logger> logger = get_or_register();
    return *logger;
}

}  // namespace ossara::detail
