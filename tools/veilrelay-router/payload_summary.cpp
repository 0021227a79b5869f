#include "payload_summary.hpp"

#include <nlohmann/json.hpp>

namespace veilrelay_router {

namespace {

using json = nlohmann::json;

// SAX events: depth counts open objects and arrays; only members of the
// top-level object (depth 1) are looked at.
class SummaryReader : public nlohmann::json_sax<json> {
public:
    explicit SummaryReader(PayloadSummary& out) : out_(out) {}

    bool null() override { return value(false); }
    bool boolean(bool v) override { return value(v); }
    bool number_integer(number_integer_t) override { return value(true); }
    bool number_unsigned(number_unsigned_t) override { return value(true); }
    bool number_float(number_float_t, const string_t&) override { return value(true); }
    bool string(string_t& v) override {
        if (depth_ == 1 && member_ == Member::model) out_.model = v;
        return value(true);
    }
    bool binary(binary_t&) override { return value(true); }
    bool start_object(std::size_t) override { return open(true); }
    bool key(string_t& k) override {
        if (depth_ == 1) member_ = k == "model" ? Member::model : k == "stream" ? Member::stream : Member::other;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        failed_ = true;
        return false;
    }

    bool failed() const noexcept { return failed_; }
    bool too_deep() const noexcept { return too_deep_; }
    bool top_is_object() const noexcept { return top_is_object_; }

private:
    enum class Member { none, model, stream, other };

    // A scalar value; `truthy` tells whether a "stream" member asks for streaming.
    bool value(bool truthy) {
        if (depth_ == 1 && member_ == Member::stream) out_.stream_requested = truthy;
        return true;
    }
    bool open(bool object) {
        if (depth_ == 0) top_is_object_ = object;
        if (depth_ == 1 && member_ == Member::stream) out_.stream_requested = true;
        if (depth_ == 1 && member_ == Member::model) out_.model.reset();
        if (++depth_ > kMaxPayloadDepth) {
            too_deep_ = true;
            return false;
        }
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    PayloadSummary& out_;
    std::size_t depth_ = 0;
    Member member_ = Member::none;
    bool failed_ = false;
    bool too_deep_ = false;
    bool top_is_object_ = false;
};

}  // namespace

PayloadSummary summarise_payload(std::string_view json_text) {
    PayloadSummary summary;
    SummaryReader reader(summary);
    const bool ok = json::sax_parse(json_text, &reader, json::input_format_t::json, /*strict=*/true);
    if (reader.too_deep())
        summary.shape = PayloadSummary::Shape::too_deep;
    else if (!ok || reader.failed())
        summary.shape = PayloadSummary::Shape::not_json;
    else
        summary.shape = reader.top_is_object() ? PayloadSummary::Shape::object : PayloadSummary::Shape::not_an_object;
    if (summary.shape != PayloadSummary::Shape::object) summary = PayloadSummary{summary.shape, {}, false};
    return summary;
}

}  // namespace veilrelay_router
