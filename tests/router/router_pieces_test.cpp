// The router's pieces that read untrusted or operator input: key and policy
// files, decrypted payloads, upstream error bodies, log values.
#include "api_keys.hpp"
#include "event_json.hpp"
#include "event_split.hpp"
#include "metrics.hpp"
#include "payload_summary.hpp"
#include "request_log.hpp"
#include "tier_policy.hpp"
#include "upstream_check.hpp"
#include "upstream_events.hpp"
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

TEST(WipingBuffer, ConsumingMovesTheRestDownAndWipesWhatItLeaves) {
    WipingBuffer buffer(100);
    ASSERT_TRUE(buffer.append("secret-head|tail"));
    const std::uint8_t* const block = buffer.bytes().data();
    buffer.consume(12);
    EXPECT_EQ(buffer.text(), "tail");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), 16), std::string("tail") + std::string(12, '\0'));
    buffer.consume(10);
    EXPECT_TRUE(buffer.empty());
}

// What the stream relay takes for a JSON text: what the client reads (the
// non-finite tokens and lone surrogate escapes included), nothing more.
TEST(EventJson, AcceptsWhatTheClientReadsAndNothingElse) {
    const std::string deep_ok = std::string(512, '[') + std::string(512, ']');
    const std::string too_deep = std::string(513, '[') + std::string(513, ']');
    const std::pair<std::string, bool> rows[] = {
        {"{}", true},
        {" {\"a\" : [1, -2.5e3, 0.5E+1, true, false, null, \"x\\u00e9\\ud83d\\ude00\\n\"]}\r\n", true},
        {"[NaN, Infinity, -Infinity]", true},
        {"\"\\ud800 lone\"", true},
        {"\"na\xC3\xAFve \xF0\x9F\x98\x80\"", true},
        {deep_ok, true},
        {too_deep, false},
        {"", false},
        {"{", false},
        {"{\"a\"}", false},
        {"{\"a\":1,}", false},
        {"[1,]", false},
        {"{a:1}", false},
        {"01", false},
        {"1.", false},
        {".5", false},
        {"-", false},
        {"tru", false},
        {"nan", false},
        {"{\"a\":1}{}", false},
        {"\"\x01\"", false},
        {"\"\\q\"", false},
        {"\"\\u12G4\"", false},
        {"\"\xC3\"", false},          // a sequence cut short
        {"\"\xC0\x80\"", false},      // overlong
        {"\"\xED\xA0\x80\"", false},  // a surrogate in UTF-8
        {"\"\xF4\x90\x80\x80\"", false},  // past U+10FFFF
    };
    for (const auto& [text, valid] : rows) EXPECT_EQ(event_json::valid(text), valid) << text.substr(0, 60);

    const std::string object = R"({"a": {"b": "}\"]"}, "c" :[1, {"d": []}], "e":null})";
    ASSERT_TRUE(event_json::valid(object));
    const auto members = event_json::members(object);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].value, R"({"b": "}\"]"})");
    EXPECT_EQ(event_json::elements(members[1].value), (std::vector<std::string_view>{"1", R"({"d": []})"}));
    EXPECT_TRUE(event_json::is_null(*event_json::member(object, "e")));
}

TEST(EventJson, CutsStringsBetweenCharactersOnly) {
    const std::tuple<std::string, std::size_t, std::size_t> rows[] = {
        {"abc", 2, 2},
        {"ab\\u00e9", 7, 2},                // not inside an escape
        {"ab\\u00e9", 8, 8},
        {"\\ud83d\\ude00x", 11, 0},         // not between the halves of a pair
        {"\\ud83d\\ude00x", 12, 12},
        {"\\ud800x", 6, 6},                 // a lone surrogate is a character of its own
        {"a\\n", 2, 1},
        {"a\xC3\xA9", 2, 1},                // not inside a UTF-8 sequence
        {"\xF0\x9F\x98\x80", 3, 0},
        {"\xF0\x9F\x98\x80", 4, 4},
    };
    for (const auto& [content, limit, cut] : rows) EXPECT_EQ(event_json::cut_point(content, limit), cut) << content;
}

// The model server's body as events, however its pieces and lines are cut.
TEST(UpstreamEvents, EventsAreTheSameWhateverTheLineEndsAndPieces) {
    const std::vector<std::string> expected{"{\"a\":1}", "line one\nline two", "", "[DONE]"};
    const std::string lf = ": comment\nevent: x\nid: 7\nretry: 10\ndata: {\"a\":1}\n\n"
                           "data:line one\nfield: ignored\ndata: line two\n\n\n\ndata\n\ndata: [DONE]\n\n";
    const auto with_ends = [&](const std::string& end) {
        std::string text;
        for (const char c : lf) text += c == '\n' ? end : std::string(1, c);
        return text;
    };
    const std::pair<const char*, std::string> bodies[] = {
        {"LF", lf},
        {"CRLF", with_ends("\r\n")},
        {"CR", with_ends("\r")},
        {"byte-order mark", "\xEF\xBB\xBF" + with_ends("\r\n")},
    };
    for (const auto& [name, body] : bodies) {
        for (const std::size_t step : {body.size(), std::size_t{1}, std::size_t{5}}) {
            SCOPED_TRACE(std::string(name) + ", pieces of " + std::to_string(step));
            UpstreamEvents events(1000);
            std::vector<std::string> seen;
            for (std::size_t at = 0; at < body.size(); at += step) {
                ASSERT_TRUE(events.feed(std::string_view(body).substr(at, step)));
                while (const auto data = events.next()) seen.emplace_back(*data);
            }
            EXPECT_EQ(seen, expected);
        }
    }
    // A byte-order mark counts only first; an event past the bound is refused.
    UpstreamEvents late(1000);
    ASSERT_TRUE(late.feed("data: 1\n\n\xEF\xBB\xBF" "data: 2\n\n"));
    EXPECT_EQ(late.next(), "1");
    EXPECT_EQ(late.next(), std::nullopt);
    UpstreamEvents bounded(100);
    EXPECT_TRUE(bounded.feed("data: " + std::string(80, 'x')));
    EXPECT_FALSE(bounded.feed(std::string(30, 'x')));
}

// An event too large for one chunk becomes chunks within the bound that
// together say what it said: every text whole and in order, the role, ids
// and names once and first, the finish reasons and usage once and last.
TEST(EventSplit, CutsTextsIntoChunksThatTogetherSayTheSame) {
    using nlohmann::ordered_json;
    std::string content, arguments;
    for (int i = 0; i < 900; ++i) content += "w\xC3\xA9rd " + std::to_string(i) + " \xF0\x9F\x98\x80\n";
    for (int i = 0; i < 700; ++i) arguments += "{\"k\": " + std::to_string(i) + "}";
    ordered_json event = {{"id", "chatcmpl-1"}, {"object", "chat.completion.chunk"}, {"created", 1}, {"model", "m"}};
    event["choices"] = ordered_json::array(
        {{{"index", 0}, {"delta", {{"role", "assistant"}, {"content", content}, {"reasoning_content", content}}},
          {"finish_reason", nullptr}},
         {{"index", 1},
          {"delta", {{"tool_calls", ordered_json::array({{{"index", 0}, {"id", "call_1"}, {"type", "function"},
                                                          {"function", {{"name", "lookup"}, {"arguments", arguments}}}}})}}},
          {"finish_reason", "tool_calls"}}});
    event["usage"] = {{"total_tokens", 5}};
    const std::string text = event.dump(-1, ' ', /*ensure_ascii=*/true);
    const std::size_t bound = 4096;

    std::vector<WipingBuffer> pieces;
    ASSERT_TRUE(split_event(text, bound, pieces));
    ASSERT_GT(pieces.size(), text.size() / bound);
    std::string contents, reasoning, joined_arguments;
    std::vector<std::string> names, finishes;
    int usages = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_LE(pieces[i].size(), bound);
        const ordered_json piece = ordered_json::parse(pieces[i].text());
        EXPECT_EQ(piece["id"], "chatcmpl-1");
        EXPECT_EQ(piece["object"], "chat.completion.chunk");
        usages += piece.contains("usage");
        for (const auto& choice : piece["choices"]) {
            const auto& delta = choice["delta"];
            contents += delta.value("content", "");
            reasoning += delta.value("reasoning_content", "");
            if (!choice["finish_reason"].is_null()) finishes.push_back(choice["finish_reason"]);
            for (const auto& call : delta.value("tool_calls", ordered_json::array())) {
                EXPECT_EQ(choice["index"], 1);
                EXPECT_EQ(call["index"], 0);
                joined_arguments += call["function"].value("arguments", "");
                if (call["function"].contains("name")) names.push_back(call["function"]["name"]);
            }
        }
    }
    EXPECT_TRUE(contents == content);
    EXPECT_TRUE(reasoning == content);
    EXPECT_TRUE(joined_arguments == arguments);
    EXPECT_EQ(names, std::vector<std::string>{"lookup"});
    EXPECT_EQ(ordered_json::parse(pieces.front().text())["choices"][0]["delta"]["role"], "assistant");
    EXPECT_EQ(finishes, std::vector<std::string>{"tool_calls"});
    EXPECT_EQ(usages, 1);
    EXPECT_TRUE(ordered_json::parse(pieces.back().text()).contains("usage"));

    // What has no text to cut, or members too large to repeat, is not cut.
    const std::string blob = R"({"id":"x","choices":[],"blob":")" + std::string(5000, 'b') + "\"}";
    EXPECT_FALSE(split_event(blob, bound, pieces));
    const std::string wide_id =
        R"({"id":")" + std::string(3900, 'i') + R"(","choices":[{"delta":{"content":")" + std::string(5000, 'c') + "\"}}]}";
    EXPECT_FALSE(split_event(wide_id, bound, pieces));
    EXPECT_TRUE(pieces.empty());
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
