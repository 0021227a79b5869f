// Throughput of the wire serialiser on payload shapes a client sends: one
// large ASCII message, text with many escapes and non-ASCII characters, and
// a long conversation of small objects.
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

BENCHMARK(BM_LargeAscii)->Arg(1 << 10)->Arg(1 << 20)->Arg(10 << 20);
BENCHMARK(BM_MixedText)->Arg(100)->Arg(100000);
BENCHMARK(BM_Conversation)->Arg(10)->Arg(10000);

}  // namespace
