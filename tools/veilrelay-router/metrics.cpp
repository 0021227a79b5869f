#include "metrics.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace veilrelay_router {

namespace {

// The shortest text that reads back as `value` ("0.005", "1", "60").
std::string number_text(double value) { return fmt::format("{}", value); }

void header(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, std::string_view name, std::string_view labels, std::string_view value) {
    out.append(name).append(labels).append(" ").append(value).append("\n");
}

void counter(std::string& out, std::string_view name, std::string_view help, std::uint64_t value) {
    header(out, name, "counter", help);
    sample(out, name, "", std::to_string(value));
}

// Nothing meaningful is lost: durations are never negative and never NaN.
double sane_seconds(double seconds) { return std::isfinite(seconds) && seconds > 0 ? seconds : 0.0; }

}  // namespace

void DurationHistogram::observe(double seconds) noexcept {
    seconds = sane_seconds(seconds);
    const auto bound = std::lower_bound(kDurationBuckets.begin(), kDurationBuckets.end(), seconds);
    counts_[static_cast<std::size_t>(bound - kDurationBuckets.begin())].fetch_add(1, std::memory_order_relaxed);
    // A compare-and-swap loop: atomic<double>::fetch_add is missing from
    // older C++ libraries (libc++ before 18, Apple's among them).
    double sum = sum_.load(std::memory_order_relaxed);
    while (!sum_.compare_exchange_weak(sum, sum + seconds, std::memory_order_relaxed)) {
    }
}

void DurationHistogram::render(std::string& out, std::string_view name) const {
    const std::string bucket = std::string(name) + "_bucket";
    // _count is the +Inf bucket of the same reading, so a scrape during
    // recording still shows buckets that add up.
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
        cumulative += counts_[i].load(std::memory_order_relaxed);
        sample(out, bucket, "{le=\"" + number_text(kDurationBuckets[i]) + "\"}", std::to_string(cumulative));
    }
    cumulative += counts_.back().load(std::memory_order_relaxed);
    sample(out, bucket, "{le=\"+Inf\"}", std::to_string(cumulative));
    sample(out, std::string(name) + "_sum", "", number_text(sum_.load(std::memory_order_relaxed)));
    sample(out, std::string(name) + "_count", "", std::to_string(cumulative));
}

void Metrics::record_request(int status, double seconds, std::uint64_t bytes_in, std::uint64_t bytes_out) noexcept {
    const bool known = status >= kMinStatus && status <= kMaxStatus;
    const std::size_t slot = known ? static_cast<std::size_t>(status - kMinStatus + 1) : 0;
    requests_by_status_[slot].fetch_add(1, std::memory_order_relaxed);
    request_durations_.observe(seconds);
    request_bytes_.fetch_add(bytes_in, std::memory_order_relaxed);
    response_bytes_.fetch_add(bytes_out, std::memory_order_relaxed);
}

void Metrics::record_upstream(double seconds, bool ok) noexcept {
    upstream_durations_.observe(seconds);
    (ok ? upstream_ok_ : upstream_failed_).fetch_add(1, std::memory_order_relaxed);
    if (ok) upstream_last_ok_.store(std::max<Clock::rep>(1, Clock::now().time_since_epoch().count()));
}

void Metrics::set_connections_open(std::int64_t open) noexcept {
    connections_open_.store(std::max<std::int64_t>(0, open), std::memory_order_relaxed);
}

double Metrics::upstream_last_ok_seconds_ago(Clock::time_point now) const noexcept {
    const Clock::rep last = upstream_last_ok_.load();
    if (last == 0) return -1.0;
    return std::max(0.0, std::chrono::duration<double>(now - Clock::time_point(Clock::duration(last))).count());
}

std::string Metrics::render_prometheus() const {
    std::string out;
    out.reserve(4096);
    header(out, "veilrelay_router_requests_total", "counter", "Requests answered, by HTTP status.");
    for (std::size_t slot = 0; slot < requests_by_status_.size(); ++slot) {
        const std::uint64_t n = requests_by_status_[slot].load(std::memory_order_relaxed);
        if (n == 0) continue;
        const int status = slot == 0 ? 0 : static_cast<int>(slot) - 1 + kMinStatus;
        sample(out, "veilrelay_router_requests_total", "{status=\"" + std::to_string(status) + "\"}",
               std::to_string(n));
    }
    header(out, "veilrelay_router_request_duration_seconds", "histogram",
           "Time from a request's head to its answer, in seconds.");
    request_durations_.render(out, "veilrelay_router_request_duration_seconds");
    header(out, "veilrelay_router_upstream_duration_seconds", "histogram",
           "Time of each call to the model server, in seconds.");
    upstream_durations_.render(out, "veilrelay_router_upstream_duration_seconds");
    header(out, "veilrelay_router_upstream_requests_total", "counter",
           "Calls to the model server: ok when it answered without a server error.");
    sample(out, "veilrelay_router_upstream_requests_total", "{outcome=\"ok\"}", std::to_string(upstream_ok_.load()));
    sample(out, "veilrelay_router_upstream_requests_total", "{outcome=\"error\"}",
           std::to_string(upstream_failed_.load()));
    if (const std::int64_t open = connections_open_.load(std::memory_order_relaxed); open >= 0) {
        header(out, "veilrelay_router_connections_open", "gauge", "Client connections open.");
        sample(out, "veilrelay_router_connections_open", "", std::to_string(open));
    }
    counter(out, "veilrelay_router_request_bytes_total", "Request body bytes read.", request_bytes_.load());
    counter(out, "veilrelay_router_response_bytes_total", "Response body bytes written.", response_bytes_.load());
    return out;
}

std::string Metrics::render_health(std::string_view upstream) const {
    nlohmann::ordered_json health;
    health["status"] = "ok";
    health["upstream"] = upstream;
    const double ago = upstream_last_ok_seconds_ago();
    // Milliseconds are plenty for "when was the model server last seen".
    if (ago >= 0) health["upstream_last_ok_seconds_ago"] = std::round(ago * 1000.0) / 1000.0;
    else health["upstream_last_ok_seconds_ago"] = nullptr;
    return health.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace veilrelay_router
