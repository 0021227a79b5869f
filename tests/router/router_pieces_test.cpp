// The router's pieces that read untrusted or operator input: key and policy
// files, decrypted payloads, upstream error bodies, log values.
#include "api_keys.hpp"
#include "metrics.hpp"
#include "payload_summary.hpp"
#include "request_log.hpp"
#include "tier_policy.hpp"
#include "upstream_check.hpp"
#include "upstream_status.hpp"
#include "wiping_buffer.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace veilrelay_router {
namespace {

TEST(ApiKeys, OneKeyPerLineAndOnlyExactMatches) {
    const ApiKeys keys = ApiKeys::from_text("  alpha-1 \r\n\n\tbeta-2\n");
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_TRUE(keys.accepts("alpha-1"));
    EXPECT_TRUE(keys.accepts("beta-2"));
    for (const char* wrong : {"", "alpha-", "alpha-1 ", "ALPHA-1", "alpha-12", "beta-2\n"}) EXPECT_FALSE(keys.accepts(wrong)) << wrong;
    EXPECT_THROW(ApiKeys::from_text(" \n\n"), std::runtime_error);
    EXPECT_THROW(ApiKeys::from_text("two keys\n"), std::runtime_error);
}

TEST(TierPolicy, MapsTiersToModelsAndRejectsMalformedFiles) {
    const TierPolicy policy = TierPolicy::from_json_text(R"({"standard": ["*"], "high": ["a", "b"], "maximum": []})");
    EXPECT_TRUE(policy.allows("standard", "anything"));
    EXPECT_TRUE(policy.allows("high", "b"));
    EXPECT_FALSE(policy.allows("high", "c"));
    EXPECT_FALSE(policy.allows("maximum", "a"));
    EXPECT_FALSE(TierPolicy::from_json_text(R"({"high": ["a"]})").allows("standard", "a"));

    for (const char* bad : {"", "[]", R"({"gold": []})", R"({"high": "a"})", R"({"high": [1]})", R"({"high": ["a"])"})
        EXPECT_THROW(TierPolicy::from_json_text(bad), std::runtime_error) << bad;
}

TEST(PayloadSummary, ReadsTopLevelModelAndStreamOnly) {
    auto s = summarise_payload(R"({"messages": [{"model": "inner", "stream": true}], "model": "outer"})");
    EXPECT_EQ(s.shape, PayloadSummary::Shape::object);
    EXPECT_EQ(s.model, "outer");
    EXPECT_FALSE(s.stream_requested);

    EXPECT_FALSE(summarise_payload(R"({"model": {"name": "x"}})").model.has_value());
    EXPECT_FALSE(summarise_payload(R"({"model": 5})").model.has_value());
    EXPECT_TRUE(summarise_payload(R"({"model": "m", "stream": true})").stream_requested);
    EXPECT_TRUE(summarise_payload(R"({"model": "m", "stream": {"x": 1}})").stream_requested);
    EXPECT_FALSE(summarise_payload(R"({"model": "m", "stream": false})").stream_requested);
    EXPECT_FALSE(summarise_payload(R"({"model": "m", "stream": null})").stream_requested);

    EXPECT_EQ(summarise_payload("[1]").shape, PayloadSummary::Shape::not_an_object);
    EXPECT_EQ(summarise_payload("\"x\"").shape, PayloadSummary::Shape::not_an_object);
    EXPECT_EQ(summarise_payload("{\"model\": \"m\"").shape, PayloadSummary::Shape::not_json);
    EXPECT_EQ(summarise_payload("{} {}").shape, PayloadSummary::Shape::not_json);
    EXPECT_EQ(summarise_payload("{\"model\": \"\xff\"}").shape, PayloadSummary::Shape::not_json);
    const std::string deep = std::string(kMaxPayloadDepth + 1, '[') + std::string(kMaxPayloadDepth + 1, ']');
    EXPECT_EQ(summarise_payload("{\"a\": " + deep + "}").shape, PayloadSummary::Shape::too_deep);
}

TEST(UpstreamStatus, TheModelServersMessageIsFoundAndBounded) {
    EXPECT_EQ(upstream_message(R"({"error": {"message": "m1"}})", 400), "m1");
    EXPECT_EQ(upstream_message(R"({"error": "m2"})", 400), "m2");
    EXPECT_EQ(upstream_message(R"({"detail": [{"loc": ["body"], "msg": "field required"}]})", 422),
              R"([{"loc":["body"],"msg":"field required"}])");
    EXPECT_EQ(upstream_message(R"({"message": "m3"})", 400), "m3");
    EXPECT_EQ(upstream_message("plain text\n", 400), "plain text");
    EXPECT_EQ(upstream_message("", 404), "HTTP 404");
    EXPECT_EQ(upstream_message("bad \xff byte", 400), "bad \xef\xbf\xbd byte");
    const std::string long_message = upstream_message(std::string(5000, 'x'), 400);
    EXPECT_LE(long_message.size(), 1003u);
    EXPECT_TRUE(long_message.ends_with("..."));
    // Cut inside a two-byte character: the partial character goes too.
    const std::string cut = upstream_message(std::string(999, 'x') + "\xc3\xa9" + "tail" + std::string(100, 'y'), 400);
    EXPECT_EQ(cut, std::string(999, 'x') + "...");
}

TEST(UpstreamStatus, ConnectionOutcomesMapTo503502And504) {
    UpstreamResult r(16);
    r.outcome = UpstreamResult::Outcome::unreachable;
    EXPECT_EQ(map_upstream_failure(r, std::chrono::seconds(1), false).status, 503);
    r.outcome = UpstreamResult::Outcome::timed_out;
    const RouterAnswer timeout = map_upstream_failure(r, std::chrono::milliseconds(1500), false);
    EXPECT_EQ(timeout.status, 504);
    EXPECT_EQ(timeout.detail, "Model server did not answer within 1.5 seconds");
    r.outcome = UpstreamResult::Outcome::too_large;
    EXPECT_EQ(map_upstream_failure(r, std::chrono::seconds(1), false).status, 502);
    r.outcome = UpstreamResult::Outcome::failed;
    EXPECT_EQ(map_upstream_failure(r, std::chrono::seconds(1), false).status, 502);
}

TEST(UpstreamStatus, RetryAfterIsTakenOnlyWhenFitToRepeat) {
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"Retry-After: 14\r\n", "14"},
        {"retry-after:\t Wed, 21 Oct 2026 07:28:00 GMT \r\n", "Wed, 21 Oct 2026 07:28:00 GMT"},
        {"Retry-After-Ms: 5\r\n", std::nullopt},
        {"Retry-After: \r\n", std::nullopt},
        {"Retry-After: " + std::string(65, '1') + "\r\n", std::nullopt},
        {"Retry-After: 1\x7f\r\n", std::nullopt},
        {"Content-Type: text/plain\r\n", std::nullopt},
    };
    for (const auto& [line, expected] : rows) EXPECT_EQ(retry_after_value(line), expected) << line;
}

TEST(UpstreamUrl, WhatCanNeverWorkIsRefusedWithTheReason) {
    const std::pair<const char*, const char*> refused[] = {
        {"127.0.0.1:8000/v1", "is not an absolute http:// or https:// URL"},
        {"ftp://host/v1", "is not an absolute http:// or https:// URL"},
        {"http://127.0.0.1:/v1", "has an empty port"},
        {"http://127.0.0.1:80a/v1", "has an invalid port"},
        {"http://127.0.0.1:0/v1", "outside 1-65535"},
        {"http://127.0.0.1:70000/v1", "outside 1-65535"},
        {"http:///v1", "has no host"},
        {"http://:8000/v1", "has no host"},
        {"http://user:pw@host:8000/v1", "--upstream-api-key-file"},
        {"http://host:8000/v1?x=1", "query or fragment"},
        {"http://[::1:8000/v1", "unclosed"},
        {"http://host:8000/v 1", "spaces"},
    };
    for (const auto& [url, why] : refused) {
        try {
            check_upstream_url(url);
            ADD_FAILURE() << url << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << url << ": " << e.what();
        }
    }
    for (const char* url : {"http://127.0.0.1:8000/v1", "HTTPS://models.example/openai/v1/", "http://[::1]:8000/v1",
                            "http://localhost/v1"})
        EXPECT_EQ(check_upstream_url(url), std::nullopt) << url;
    // May work, but rarely does: said, not refused.
    const auto note = check_upstream_url("http://127.0.0.1:8000/");
    ASSERT_TRUE(note);
    EXPECT_NE(note->find("/v1"), std::string::npos) << *note;
}

TEST(UpstreamUrl, AModelListKeepsOnlyEntriesWithAnId) {
    const auto list = model_list_of(R"({"object": "list", "data": [{"id": "a", "x": 1}, 7, {"id": 3}, {"name": "b"}]})");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->dump(), R"({"object":"list","data":[{"id":"a","x":1}]})");
    EXPECT_FALSE(model_list_of(R"({"data": {}})"));
    EXPECT_FALSE(model_list_of("<html>"));
    EXPECT_FALSE(model_list_of("[]"));
}

TEST(WipingBuffer, GrowsUpToItsLimitOnly) {
    WipingBuffer buffer(10000);
    const std::string chunk(4000, 'a');
    EXPECT_TRUE(buffer.append(chunk.data(), chunk.size()));
    EXPECT_TRUE(buffer.append(chunk.data(), chunk.size()));
    EXPECT_FALSE(buffer.append(chunk.data(), chunk.size()));
    EXPECT_EQ(buffer.size(), 8000u);
    EXPECT_TRUE(buffer.append(chunk.data(), 2000));
    EXPECT_EQ(buffer.text(), std::string(10000, 'a'));
    EXPECT_FALSE(buffer.append("x", 1));
}

TEST(RequestLog, CallerValuesCannotForgeLines) {
    EXPECT_EQ(log_safe("id-1"), "id-1");
    EXPECT_EQ(log_safe("a\nb\\c\x7f"), "a\\x0ab\\x5cc\\x7f");
    EXPECT_EQ(log_safe(std::string(300, 'z')), std::string(128, 'z') + "...");
    RequestRecord record;
    record.payload_id = "p\r\n";
    record.status = 200;
    const std::string line = format_request_line(record, record.started);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("id=p\\x0d\\x0a tier=- model=- status=200"), std::string::npos) << line;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The value of the sample line `name_and_labels`, or -1 without one.
double sample_value(const std::string& text, const std::string& name_and_labels) {
    for (const auto& line : lines_of(text))
        if (line.starts_with(name_and_labels + " ")) return std::stod(line.substr(name_and_labels.size() + 1));
    return -1;
}

TEST(Metrics, RendersThePrometheusTextFormat) {
    Metrics m;
    m.record_request(200, 0.003, 100, 2000);
    m.record_request(200, 0.2, 50, 10);
    m.record_request(400, 75.0, 7, 30);  // above the largest bound: counted in +Inf only
    m.record_request(200, -1.0, 0, 0);   // a clock that stepped back counts as no time
    m.record_request(42, 0.01, 0, 0);    // not an HTTP status: kept apart
    m.record_upstream(0.004, true);
    m.record_upstream(12.0, false);
    std::string text = m.render_prometheus();

    const std::pair<const char*, double> samples[] = {
        {R"(veilrelay_router_requests_total{status="200"})", 3},
        {R"(veilrelay_router_requests_total{status="400"})", 1},
        {R"(veilrelay_router_requests_total{status="0"})", 1},
        {R"(veilrelay_router_request_duration_seconds_bucket{le="0.005"})", 2},
        {R"(veilrelay_router_request_duration_seconds_bucket{le="0.01"})", 3},
        {R"(veilrelay_router_request_duration_seconds_bucket{le="0.25"})", 4},
        {R"(veilrelay_router_request_duration_seconds_bucket{le="60"})", 4},
        {R"(veilrelay_router_request_duration_seconds_bucket{le="+Inf"})", 5},
        {"veilrelay_router_request_duration_seconds_count", 5},
        {R"(veilrelay_router_upstream_duration_seconds_bucket{le="0.005"})", 1},
        {R"(veilrelay_router_upstream_duration_seconds_bucket{le="10"})", 1},
        {R"(veilrelay_router_upstream_duration_seconds_bucket{le="20"})", 2},
        {R"(veilrelay_router_upstream_duration_seconds_bucket{le="+Inf"})", 2},
        {"veilrelay_router_upstream_duration_seconds_count", 2},
        {R"(veilrelay_router_upstream_requests_total{outcome="ok"})", 1},
        {R"(veilrelay_router_upstream_requests_total{outcome="error"})", 1},
        {"veilrelay_router_request_bytes_total", 157},
        {"veilrelay_router_response_bytes_total", 2040},
        {"veilrelay_router_connections_open", -1},  // not set by the serving layer yet
    };
    for (const auto& [name, value] : samples) EXPECT_EQ(sample_value(text, name), value) << name << "\n" << text;
    EXPECT_NEAR(sample_value(text, "veilrelay_router_request_duration_seconds_sum"), 75.213, 1e-9);
    EXPECT_NEAR(sample_value(text, "veilrelay_router_upstream_duration_seconds_sum"), 12.004, 1e-9);

    m.set_connections_open(3);
    text = m.render_prometheus();
    EXPECT_EQ(sample_value(text, "veilrelay_router_connections_open"), 3);

    // Every line is a comment of its metric family or a sample of a declared
    // family; buckets never fall and every histogram ends with +Inf.
    const std::regex sample_line(R"(([a-z_]+)(\{[a-z]+="[^"]*"\})? [0-9.e+-]+)");
    const std::regex comment_line(R"(# (HELP|TYPE) ([a-z_]+) .+)");
    std::vector<std::string> declared;
    std::map<std::string, double> last_bucket;
    for (const auto& line : lines_of(text)) {
        std::smatch match;
        if (std::regex_match(line, match, comment_line)) {
            if (match[1] == "TYPE") declared.push_back(match[2]);
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, match, sample_line)) << line;
        std::string family = match[1];
        for (const char* suffix : {"_bucket", "_sum", "_count"})
            if (family.ends_with(suffix) && family.find("duration") != std::string::npos)
                family.resize(family.size() - std::string_view(suffix).size());
        EXPECT_NE(std::find(declared.begin(), declared.end(), family), declared.end()) << line;
        if (std::string(match[1]).ends_with("_bucket")) {
            const double value = std::stod(line.substr(line.rfind(' ') + 1));
            EXPECT_GE(value, last_bucket[family]) << line;
            last_bucket[family] = value;
        }
    }
    EXPECT_TRUE(text.ends_with("\n"));
    EXPECT_NE(text.find("# TYPE veilrelay_router_request_duration_seconds histogram\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE veilrelay_router_connections_open gauge\n"), std::string::npos);
}

TEST(Metrics, HealthSaysWhenTheModelServerLastAnswered) {
    Metrics m;
    EXPECT_EQ(m.render_health("echo"), R"({"status":"ok","upstream":"echo","upstream_last_ok_seconds_ago":null})");
    m.record_upstream(0.1, false);
    EXPECT_LT(m.upstream_last_ok_seconds_ago(), 0) << "a failed call is no sign of life";
    m.record_upstream(0.1, true);
    const auto health = nlohmann::json::parse(m.render_health("http://127.0.0.1:8000/v1"));
    EXPECT_EQ(health["upstream"], "http://127.0.0.1:8000/v1");
    ASSERT_TRUE(health["upstream_last_ok_seconds_ago"].is_number()) << health;
    EXPECT_LT(health["upstream_last_ok_seconds_ago"].get<double>(), 5.0);
    EXPECT_NEAR(m.upstream_last_ok_seconds_ago(Metrics::Clock::now() + std::chrono::seconds(90)), 90.0, 5.0);
}

}  // namespace
}  // namespace veilrelay_router
