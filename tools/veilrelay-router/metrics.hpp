#pragma once
// The router's operations figures, for GET /metrics (the Prometheus text
// exposition format 0.0.4) and GET /healthz (a small JSON object).
//
// Every figure is an atomic, so the serving layer records from any thread
// without a lock, and a scrape never stalls a request. The API takes and
// returns plain values and strings: whatever serves HTTP calls
//   record_request(...)       once per answered request,
//   record_upstream(...)      once per call to the model server,
//   set_connections_open(n)   whenever its count of open connections changes,
// and serves render_prometheus() / render_health(...) as the bodies.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace veilrelay_router {

// The Content-Type of render_prometheus()'s text.
inline constexpr const char* kPrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

// Upper bounds (seconds) of the duration histograms' buckets; +Inf follows.
// From a quick refusal to the slowest model answer the router waits for.
inline constexpr std::array<double, 14> kDurationBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                            1.0,   2.5,  5.0,   10.0, 20.0, 30.0, 60.0};

// A histogram of durations over kDurationBuckets.
class DurationHistogram {
public:
    void observe(double seconds) noexcept;
    // The _bucket (cumulative, ending with le="+Inf"), _sum and _count lines of `name`.
    void render(std::string& out, std::string_view name) const;

private:
    // Per bucket, not cumulative; the last slot is above the largest bound.
    std::array<std::atomic<std::uint64_t>, kDurationBuckets.size() + 1> counts_{};
    std::atomic<double> sum_{0.0};
};

class Metrics {
public:
    using Clock = std::chrono::steady_clock;

    // One answered request: its HTTP status, the time from its head to its
    // answer, and the body bytes read and written.
    void record_request(int status, double seconds, std::uint64_t bytes_in, std::uint64_t bytes_out) noexcept;
    // One call to the model server and how long it took; `ok` when the model
    // server answered without a server error (it is up and speaking).
    void record_upstream(double seconds, bool ok) noexcept;
    // The serving layer's count of open client connections. Until it is set
    // the gauge is left out: a layer that cannot count shows no made-up 0.
    void set_connections_open(std::int64_t open) noexcept;

    std::string render_prometheus() const;
    // {"status":"ok","upstream":<upstream>,"upstream_last_ok_seconds_ago":<seconds or null>};
    // `upstream` is "echo" or the model server's base URL.
    std::string render_health(std::string_view upstream) const;

    // Seconds since the last call recorded as ok; negative when there was none.
    double upstream_last_ok_seconds_ago(Clock::time_point now = Clock::now()) const noexcept;

private:
    static constexpr int kMinStatus = 100;
    static constexpr int kMaxStatus = 599;
    // One counter per status 100-599; anything else lands in the slot of 0.
    std::array<std::atomic<std::uint64_t>, kMaxStatus - kMinStatus + 2> requests_by_status_{};
    DurationHistogram request_durations_;
    DurationHistogram upstream_durations_;
    std::atomic<std::uint64_t> upstream_ok_{0};
    std::atomic<std::uint64_t> upstream_failed_{0};
    std::atomic<std::uint64_t> request_bytes_{0};
    std::atomic<std::uint64_t> response_bytes_{0};
    std::atomic<std::int64_t> connections_open_{-1};  // -1: never set
    // Clock ticks since the clock's epoch of the last ok call; 0: none yet.
    std::atomic<Clock::rep> upstream_last_ok_{0};
};

}  // namespace veilrelay_router
