#pragma once
// The one info line written for every completion request. It carries what an
// operator needs (id, tier, model, status, duration, sizes) and nothing of
// the conversation. Values that came from the caller are escaped and cut
// short so a hostile request cannot forge or flood log lines.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace spdlog {
class logger;
}

namespace veilrelay_router {

struct RequestRecord {
    std::string payload_id = "-";
    std::string tier = "-";
    std::string model = "-";
    int status = 0;
    std::size_t request_bytes = 0;
    std::size_t answer_bytes = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// Printable ASCII only (others as \xNN), at most `limit` characters.
std::string log_safe(std::string_view text, std::size_t limit = 128);

std::string format_request_line(const RequestRecord& record, std::chrono::steady_clock::time_point now);

// The "veilrelay-router" logger (stderr, level info), made on first use.
std::shared_ptr<spdlog::logger> router_logger();

}  // namespace veilrelay_router
