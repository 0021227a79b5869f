// Throughput of the payload serialiser and of the base64 codec, in MB/s
// (1 MB = 10^6 bytes), beside the floors measured in the same run:
// nlohmann's dump (ASCII-escaping) for the serialiser, OpenSSL's
// EVP_EncodeBlock / EVP_DecodeBlock for base64.
#include "bench_support.hpp"
#include "floors.hpp"
#include "summary.hpp"

#include <benchmark/benchmark.h>

#include <map>

namespace ossara::bench {
namespace {

constexpr std::int64_t kSizes[] = {1 << 10, 64 << 10, 1 << 20, 10 << 20};

const json& payload(std::int64_t size) {
    static std::map<std::int64_t, json> cache;
    auto found = cache.find(size);
    if (found == cache.end()) found = cache.emplace(size, chat_payload(static_cast<std::size_t>(size))).first;
    return found->second;
}

const std::vector<std::uint8_t>& random_data(std::int64_t size) {
    static std::map<std::int64_t, std::vector<std::uint8_t>> cache;
    auto found = cache.find(size);
    if (found == cache.end()) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        detail::random_bytes(bytes);
        found = cache.emplace(size, std::move(bytes)).first;
    }
    return found->second;
}

const std::string& base64_text(std::int64_t size) {
    static std::map<std::int64_t, std::string> cache;
    auto found = cache.find(size);
    if (found == cache.end()) found = cache.emplace(size, detail::base64_encode(random_data(size))).first;
    return found->second;
}

void BM_Serialise(benchmark::State& state) {
    const json& p = payload(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(detail::serialise_json_bytes(p));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_NlohmannDump(benchmark::State& state) {
    const json& p = payload(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(p.dump(-1, ' ', /*ensure_ascii=*/true));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Encode(benchmark::State& state) {
    const auto& data = random_data(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(detail::base64_encode(data));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_EvpEncode(benchmark::State& state) {
    const auto& data = random_data(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(floor::b64_encode(data));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Decoders are measured per byte of base64 text.
void BM_Base64DecodeLenient(benchmark::State& state) {
    const std::string& text = base64_text(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(detail::base64_decode_lenient(text));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_EvpDecode(benchmark::State& state) {
    const std::string& text = base64_text(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(floor::b64_decode(text));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const auto size : kSizes) b->Arg(size);
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Serialise)->Apply(sizes);
BENCHMARK(BM_NlohmannDump)->Apply(sizes);
BENCHMARK(BM_Base64Encode)->Apply(sizes);
BENCHMARK(BM_EvpEncode)->Apply(sizes);
BENCHMARK(BM_Base64DecodeLenient)->Apply(sizes);
BENCHMARK(BM_EvpDecode)->Apply(sizes);

constexpr double kSerialiserTargetMBps = 1000.0;

void print_summary(const Results& r) {
    auto mbps = [&](const std::string& name) { return r.counter(name, "bytes_per_second") / 1e6; };
    std::printf("\nthroughput, MB/s (serialiser: ASCII-heavy chat payload; base64 decoders per byte of text)\n");
    Table table({"size", "serialiser", "nlohmann dump", "ratio", "serialiser >= 1 GB/s", "base64 enc", "EVP enc",
                 "ratio", "lenient dec", "EVP dec", "ratio"});
    for (const auto size : kSizes) {
        const std::string arg = "/" + std::to_string(size);
        const double ser = mbps("BM_Serialise" + arg), dump = mbps("BM_NlohmannDump" + arg);
        const double enc = mbps("BM_Base64Encode" + arg), evp_enc = mbps("BM_EvpEncode" + arg);
        const double dec = mbps("BM_Base64DecodeLenient" + arg), evp_dec = mbps("BM_EvpDecode" + arg);
        table.row({size_label(static_cast<std::size_t>(size)), fixed(ser, 0), fixed(dump, 0), fixed(ser / dump, 2),
                   ser >= kSerialiserTargetMBps ? "met" : "MISSED", fixed(enc, 0), fixed(evp_enc, 0),
                   fixed(enc / evp_enc, 2), fixed(dec, 0), fixed(evp_dec, 0), fixed(dec / evp_dec, 2)});
    }
    table.print();
}

}  // namespace
}  // namespace ossara::bench

int main(int argc, char** argv) { return ossara::bench::run_with_summary(argc, argv, ossara::bench::print_summary); }
