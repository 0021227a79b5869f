// Throughput of the wire serialiser on payload shapes a client sends: one
// large ASCII message, text with many escapes and non-ASCII characters, and
// a long conversation of small objects; and numbers both ways (an answer's
// log probabilities written and read back).
#include "codec/json_fast_reader.hpp"
#include "codec/json_writer.hpp"

#include <benchmark/benchmark.h>

namespace {

using ossara::json;

json large_ascii(std::size_t size) {
    return json::object({{"model", "m"},
                         {"messages", json::array({json::object({{"role", "user"}, {"content", std::string(size, 'a')}})})}});
}

json mixed_text(std::size_t repeats) {
    std::string text;
    for (std::size_t i = 0; i < repeats; ++i) text += "Grüß dich \"quoted\"\n\t日本語 😀 ";
    return json::object({{"content", text}});
}

json conversation(std::size_t turns) {
    json messages = json::array();
    for (std::size_t i = 0; i < turns; ++i)
        messages.push_back({{"role", i % 2 ? "assistant" : "user"}, {"content", "message number " + std::to_string(i)},
                            {"temperature", 0.7}, {"index", i}});
    return json::object({{"model", "m"}, {"messages", std::move(messages)}});
}

// An answer's per-token log probabilities: floats of every magnitude.
json numbers(std::size_t count) {
    json values = json::array();
    double x = 0.1;
    for (std::size_t i = 0; i < count; ++i) {
        values.push_back(-x);
        x = x * 1.618033988749895 + 1e-7;
        if (x > 1e12) x = 3.3e-9;
    }
    return json::object({{"logprobs", std::move(values)}});
}

void run(benchmark::State& state, const json& value) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto out = ossara::detail::serialise_json_bytes(value);
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_LargeAscii(benchmark::State& state) { run(state, large_ascii(static_cast<std::size_t>(state.range(0)))); }
void BM_MixedText(benchmark::State& state) { run(state, mixed_text(static_cast<std::size_t>(state.range(0)))); }
void BM_Conversation(benchmark::State& state) { run(state, conversation(static_cast<std::size_t>(state.range(0)))); }

void BM_WriteNumbers(benchmark::State& state) { run(state, numbers(static_cast<std::size_t>(state.range(0)))); }
void BM_ReadNumbers(benchmark::State& state) {
    const auto bytes = ossara::detail::serialise_json_bytes(numbers(static_cast<std::size_t>(state.range(0))));
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (auto _ : state) {
        auto document = ossara::detail::read_json_fast(text);
        if (!document) state.SkipWithError("the fast reader gave up");
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK(BM_LargeAscii)->Arg(1 << 10)->Arg(1 << 20)->Arg(10 << 20);
BENCHMARK(BM_MixedText)->Arg(100)->Arg(100000);
BENCHMARK(BM_Conversation)->Arg(10)->Arg(10000);
BENCHMARK(BM_WriteNumbers)->Arg(10000);
BENCHMARK(BM_ReadNumbers)->Arg(10000);

}  // namespace
