// The chunk reader of streamed answers fed a body: the first input byte picks
// how the rest is cut into pieces (the same body must give the same outcome
// however it arrives) and whether a valid header event for the test client
// comes first, so that most inputs reach the chunk events behind it. Only
// SecurityError may come out, every chunk handed over is whole, and nothing
// crashes or grows past the event bound.
#include "fuzz_check.hpp"
#include "test_client.hpp"

#include "codec/base64.hpp"
#include "crypto/crypto.hpp"
#include "exchange/stream_reader.hpp"

#include <ossara/Veilrelay.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace {

std::unique_ptr<ossara::Veilrelay> client;
std::string header_event;

// Everything the reader hands over before it stops, or the refusal.
struct Outcome {
    std::size_t chunks = 0;
    bool complete = false;
    std::optional<std::string> refusal;
};

Outcome read(std::span<const std::uint8_t> body, std::size_t step, bool with_header) {
    Outcome out;
    ossara::detail::StreamReader reader(client->private_key(), "fuzz");
    try {
        if (with_header)
            reader.feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(header_event.data()),
                                                      header_event.size()));
        for (std::size_t at = 0; at < body.size(); at += step) {
            reader.feed(body.subspan(at, std::min(step, body.size() - at)));
            while (const auto chunk = reader.next_chunk()) {
                OSSARA_FUZZ_CHECK(chunk->plaintext.size() <= ossara::detail::kMaxStreamChunkBytes);
                ++out.chunks;
            }
        }
        reader.finish();
        out.complete = reader.complete();
    } catch (const ossara::SecurityError& error) {
        out.refusal = error.what();
    } catch (...) {
        ossara::fuzz::fail_untyped_error();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    client = ossara::fuzz::make_test_client();
    const auto public_key = ossara::detail::load_public_key_pem(*client->public_key_pem());
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 12> nonce_base{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    header_event = "data: {\"v\":1,\"wrapped_key\":\"" +
                   ossara::detail::base64_encode(ossara::detail::rsa_oaep_wrap(public_key.get(), key)) +
                   "\",\"nonce_base\":\"" + ossara::detail::base64_encode(nonce_base) + "\"}\n\n";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool with_header = (data[0] & 0x80) == 0;
    const std::span<const std::uint8_t> body(data + 1, size - 1);
    const Outcome whole = read(body, body.size() + 1, with_header);
    const Outcome cut = read(body, 1 + (data[0] & 0x3f), with_header);
    OSSARA_FUZZ_CHECK(whole.chunks == cut.chunks && whole.complete == cut.complete &&
                      whole.refusal.has_value() == cut.refusal.has_value());
    return 0;
}
