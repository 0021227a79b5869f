#include "request_log.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <mutex>

namespace veilrelay_router {

std::string log_safe(std::string_view text, std::size_t limit) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        if (out.size() >= limit) {
            out += "...";
            break;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\') {
            out.push_back(c);
        } else {
            out += "\\x";
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0x0f]);
        }
    }
    return out;
}

std::string format_request_line(const RequestRecord& r, std::chrono::steady_clock::time_point now) {
    const auto ms = std::chrono::duration<double, std::milli>(now - r.started).count();
    return fmt::format("request id={} tier={} model={} status={} duration_ms={:.1f} request_bytes={} answer_bytes={}",
                       log_safe(r.payload_id), log_safe(r.tier), log_safe(r.model), r.status, ms, r.request_bytes,
                       r.answer_bytes);
}

std::shared_ptr<spdlog::logger> router_logger() {
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    if (auto existing = spdlog::get("veilrelay-router")) return existing;
    auto logger = spdlog::stderr_color_mt("veilrelay-router");
    logger->set_level(spdlog::level::info);
    return logger;
}

}  // namespace veilrelay_router
