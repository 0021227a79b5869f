// The HTTP server's chunked body decoder: the first input byte picks the
// body limit and how the rest is cut into pieces. However the body arrives,
// the outcome, the payload and the bytes consumed are the same; the payload
// stays within the limit and never outgrows what was consumed; and a body
// that decodes, sent again as one chunk, decodes to the same payload.
#include "fuzz_check.hpp"

#include <http_server/chunked_decoder.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

namespace hs = ossara::http_server;

struct Outcome {
    hs::ChunkedDecoder::State state = hs::ChunkedDecoder::State::more;
    std::string payload;
    std::size_t used = 0;
    bool operator==(const Outcome&) const = default;
};

Outcome decode(std::string_view body, std::size_t piece, const hs::ChunkedLimits& limits) {
    hs::ChunkedDecoder decoder(limits);
    Outcome outcome;
    while (outcome.state == hs::ChunkedDecoder::State::more && outcome.used < body.size()) {
        const std::string_view part = body.substr(outcome.used, piece);
        const std::size_t before = outcome.payload.size();
        const auto [state, used] = decoder.feed(part, outcome.payload);
        OSSARA_FUZZ_CHECK(used <= part.size());
        OSSARA_FUZZ_CHECK(outcome.payload.size() - before <= used);
        // A piece is used up unless the body ended or failed within it.
        OSSARA_FUZZ_CHECK(used == part.size() || state != hs::ChunkedDecoder::State::more);
        outcome.state = state;
        outcome.used += used;
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const hs::ChunkedLimits limits{static_cast<std::size_t>(data[0] & 0x0f) * 64, 4, 256};
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

    const Outcome whole = decode(body, body.size() + 1, limits);
    OSSARA_FUZZ_CHECK(whole.payload.size() <= limits.max_body);
    OSSARA_FUZZ_CHECK(decode(body, 1 + (data[0] >> 4), limits) == whole);
    OSSARA_FUZZ_CHECK(decode(body, 1, limits) == whole);

    if (whole.state == hs::ChunkedDecoder::State::done && !whole.payload.empty()) {
        char size_line[24];
        const int n = std::snprintf(size_line, sizeof size_line, "%zx\r\n", whole.payload.size());
        const std::string again = std::string(size_line, static_cast<std::size_t>(n)) + whole.payload + "\r\n0\r\n\r\n";
        const Outcome resent = decode(again, again.size(), limits);
        OSSARA_FUZZ_CHECK(resent.state == hs::ChunkedDecoder::State::done && resent.payload == whole.payload &&
                          resent.used == again.size());
    }
    return 0;
}
