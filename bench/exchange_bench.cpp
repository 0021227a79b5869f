// encrypt_payload and decrypt_response against the floors of the same work,
// measured in the same run: the bare primitives, and the naive way (the
// primitives plus nlohmann's writer and parser for payload and package).
// The server key comes from a development router on 127.0.0.1; its fetch is
// measured alone and taken out of the client's figure, so the comparison is
// about the local work. A summary table with the ratios follows the runs.
#include "bench_support.hpp"
#include "floors.hpp"
#include "summary.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <string_view>

namespace ossara::bench {
namespace {

constexpr std::int64_t kSizes[] = {1 << 10, 64 << 10, 1 << 20, 10 << 20};

// Everything one payload size needs, built once outside the timing.
struct Case {
    json payload;
    std::string payload_text;                // its wire serialisation
    std::vector<std::uint8_t> package;       // a response package holding the echo answer
    floor::ResponseParts parts;              // that package taken apart
};

struct Fixture {
    std::unique_ptr<devrouter::Router> router = start_router();
    ClientKeyFile key_file;
    Veilrelay client = make_client(router->base_url(), key_file);
    floor::Keys keys{vector_text("server_public_key_pem"), floor::public_key(vector_text("server_public_key_pem")),
                     floor::private_key(vector_text("client_private_key_pem"))};
    asio::io_context io;
    std::map<std::int64_t, Case> cases;

    const Case& at(std::int64_t size) {
        auto found = cases.find(size);
        if (found != cases.end()) return found->second;
        Case c;
        c.payload = chat_payload(static_cast<std::size_t>(size));
        c.payload_text = detail::serialise_json(c.payload);
        c.package = response_package(echo_answer_text(c.payload));
        c.parts = floor::take_apart(c.package);
        return cases.emplace(size, std::move(c)).first->second;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_FetchServerKey(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(run(f.io, f.client.fetch_server_public_key()));
}

void BM_EncryptPayload(benchmark::State& state) {
    auto& f = fixture();
    const Case& c = f.at(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        json payload = c.payload;  // the caller's copy, handed over by value
        state.ResumeTiming();
        benchmark::DoNotOptimize(run(f.io, f.client.encrypt_payload(std::move(payload))));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Users send a mix of sizes through one client: each iteration is one cycle
// of 1 KiB, 1 MiB, 10 MiB and 1 MiB encrypt_payload rounds, in that order.
// The 10 MiB round is also timed on its own (counter "large_ms", wall time),
// to compare with the BM_EncryptPayload row of that size and with the same
// row run alone in a fresh process.
constexpr std::int64_t kMix[] = {1 << 10, 1 << 20, 10 << 20, 1 << 20};
constexpr std::int64_t kMixLarge = 10 << 20;

void BM_EncryptPayloadMix(benchmark::State& state) {
    auto& f = fixture();
    for (const auto size : kMix) f.at(size);
    double large_ms = 0;
    for (auto _ : state) {
        for (const auto size : kMix) {
            state.PauseTiming();
            json payload = f.at(size).payload;
            state.ResumeTiming();
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(run(f.io, f.client.encrypt_payload(std::move(payload))));
            if (size == kMixLarge)
                large_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        }
    }
    state.counters["large_ms"] = benchmark::Counter(large_ms, benchmark::Counter::kAvgIterations);
    std::int64_t bytes = 0;
    for (const auto size : kMix) bytes += size;
    state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_DecryptResponse(benchmark::State& state) {
    auto& f = fixture();
    const Case& c = f.at(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::uint8_t> body = c.package;  // the received body, handed over by value
        state.ResumeTiming();
        benchmark::DoNotOptimize(run(f.io, f.client.decrypt_response(std::move(body), "bench")));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_FloorPrimitives(benchmark::State& state) {
    auto& f = fixture();
    const Case& c = f.at(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(floor::encrypt_primitives(f.keys, c.payload_text));
        benchmark::DoNotOptimize(floor::decrypt_primitives(f.keys, c.parts));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The obvious implementation: nlohmann writes payload and package, parses
// package and answer; the primitives in between.
void BM_FloorNaive(benchmark::State& state) {
    auto& f = fixture();
    const Case& c = f.at(state.range(0));
    const std::vector<std::uint8_t> key(32, 7), nonce(12, 9);
    for (auto _ : state) {
        // encrypt
        const std::string text = c.payload.dump(-1, ' ', /*ensure_ascii=*/true);
        std::array<std::uint8_t, 16> tag{};
        const auto ciphertext = floor::aes_gcm(key, nonce, text, tag, true);
        const auto wrapped = floor::rsa_oaep(f.keys.server_public.get(), key, true);
        const nlohmann::ordered_json request = {
            {"version", "1.0"},
            {"algorithm", "hybrid-aes256-rsa4096"},
            {"encrypted_payload",
             {{"ciphertext", floor::b64_encode(ciphertext)},
              {"nonce", floor::b64_encode(nonce)},
              {"tag", floor::b64_encode({tag.begin(), tag.end()})}}},
            {"encrypted_aes_key", floor::b64_encode(wrapped)},
            {"key_algorithm", "RSA-OAEP-SHA256"},
            {"payload_algorithm", "AES-256-GCM"}};
        benchmark::DoNotOptimize(request.dump());
        // decrypt
        const auto response = nlohmann::ordered_json::parse(c.package);
        floor::ResponseParts parts;
        parts.ciphertext_b64 = response["encrypted_payload"]["ciphertext"].get<std::string>();
        parts.nonce = floor::b64_decode(response["encrypted_payload"]["nonce"].get<std::string>());
        const auto got_tag = floor::b64_decode(response["encrypted_payload"]["tag"].get<std::string>());
        std::copy(got_tag.begin(), got_tag.end(), parts.tag.begin());
        parts.wrapped_key = floor::b64_decode(response["encrypted_aes_key"].get<std::string>());
        const auto plain = floor::decrypt_primitives(f.keys, parts);
        benchmark::DoNotOptimize(nlohmann::ordered_json::parse(plain));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_FloorRsaAndPem(benchmark::State& state) {
    auto& f = fixture();
    const Case& c = f.at(1 << 10);
    for (auto _ : state) benchmark::DoNotOptimize(floor::rsa_and_pem(f.keys, c.parts));
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const auto size : kSizes) b->Arg(size);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_FetchServerKey)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloorRsaAndPem)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncryptPayload)->Apply(sizes);
BENCHMARK(BM_EncryptPayloadMix)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecryptResponse)->Apply(sizes);
BENCHMARK(BM_FloorPrimitives)->Apply(sizes);
BENCHMARK(BM_FloorNaive)->Apply(sizes);

// Ratio targets of an encrypt + decrypt round, per payload size: against
// the OpenSSL primitives alone, and at 1 KiB, where RSA is nearly all of
// the work, against the RSA operations with the PEM parse of the server key.
struct Target {
    std::int64_t size;
    const char* floor;  // "primitives" or "rsa+pem"
    double limit;
};
constexpr Target kTargets[] = {{1 << 10, "rsa+pem", 1.0}, {64 << 10, "primitives", 1.10},
                               {1 << 20, "primitives", 1.15}, {10 << 20, "primitives", 1.6}};

// The comparison uses CPU time of the benchmark thread: on a shared machine
// it is steadier than wall time, and it leaves out the router's own work.
void print_summary(const Results& r) {
    const double fetch = r.cpu_ms("BM_FetchServerKey");
    const double rsa_pem = r.cpu_ms("BM_FloorRsaAndPem");
    std::printf("encrypt+decrypt round, CPU ms of the calling thread (client side of the server-key fetch, %.3f ms, "
                "taken out of 'ours'; wall time of the fetch %.3f ms)\n",
                fetch, r.ms("BM_FetchServerKey"));
    Table table({"payload", "ours", "ours+fetch", "primitives", "naive", "ours/primitives", "ours/naive", "target",
                 "result"});
    for (const auto& t : kTargets) {
        const std::string arg = "/" + std::to_string(t.size);
        const double ours_raw = r.cpu_ms("BM_EncryptPayload" + arg) + r.cpu_ms("BM_DecryptResponse" + arg);
        const double ours = ours_raw - fetch;
        const double prim = r.cpu_ms("BM_FloorPrimitives" + arg), naive = r.cpu_ms("BM_FloorNaive" + arg);
        std::string target = "-", result = "-";
        if (t.limit > 0) {
            const double against = std::string_view(t.floor) == "primitives" ? prim : rsa_pem;
            target = "<= " + fixed(t.limit, 2) + "x " + t.floor;
            if (!std::isnan(ours / against))
                result = fixed(ours / against, 2) + "x " + (ours <= t.limit * against ? "met" : "MISSED");
        }
        table.row({size_label(static_cast<std::size_t>(t.size)), fixed(ours, 3), fixed(ours_raw, 3), fixed(prim, 3),
                   fixed(naive, 3), fixed(ours / prim, 2), fixed(ours / naive, 2), target, result});
    }
    table.print();
    std::printf("rsa+pem floor (PEM parse + RSA-4096 OAEP wrap + unwrap): %.3f ms CPU\n", rsa_pem);

    // Wall time: what the sizes cost one another shows up as page faults
    // and copies, partly in the kernel.
    const std::string large = "BM_EncryptPayload/" + std::to_string(kMixLarge);
    const double mixed = r.counter("BM_EncryptPayloadMix", "large_ms"), alone = r.ms(large);
    std::printf("\nencrypt_payload in a mix of sizes (1 KiB, 1 MiB, 10 MiB, 1 MiB, ...), wall ms\n");
    Table mix({"cycle of 4 rounds", "10 MiB round in the mix", "10 MiB row", "mix/row"});
    mix.row({fixed(r.ms("BM_EncryptPayloadMix"), 3), fixed(mixed, 3), fixed(alone, 3), fixed(mixed / alone, 2)});
    mix.print();
}

}  // namespace
}  // namespace ossara::bench

int main(int argc, char** argv) {
    ossara::bench::quiet_logs();
    return ossara::bench::run_with_summary(argc, argv, ossara::bench::print_summary);
}
