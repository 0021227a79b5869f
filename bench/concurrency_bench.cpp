// Concurrency of one client:
//  * whole exchanges (send_secure_request) against the development router on
//    127.0.0.1: exchanges per second and client CPU per exchange with 1, 16
//    and 256 exchanges in flight at once on one io_context thread, and 16 in
//    flight on one io_context run by two threads;
//  * encrypt_payload + decrypt_response rounds on one and on two threads
//    sharing one client (one io_context, one chain of rounds per thread): how
//    the local work scales across cores. The server key still comes from the
//    router on loopback for each encryption, as the client fetches it every
//    time; the answer package is made once.
//  * the same rounds done by the OpenSSL primitives alone (floors.hpp) on one
//    and on two threads: how far the machine itself scales this work.
// The client CPU is the CPU time of the io_context threads (the router runs
// on threads of its own).
#include "bench_support.hpp"
#include "floors.hpp"
#include "summary.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace ossara::bench {
namespace {

constexpr int kConcurrency[] = {1, 16, 256};
constexpr std::size_t kPayloadSize = 1 << 10;
constexpr std::int64_t kRoundSizes[] = {1 << 10, 1 << 20};
constexpr int kRoundsPerThread = 8;

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A payload and the answer package the router's echo model gives for it,
// and both as the primitives floor takes them.
struct RoundCase {
    json payload;
    std::vector<std::uint8_t> package;
    std::string payload_text;
    floor::ResponseParts parts;
};

struct Fixture {
    std::unique_ptr<devrouter::Router> router = start_router(/*worker_threads=*/32);
    ClientKeyFile key_file;
    Veilrelay client = make_client(router->base_url(), key_file);
    json payload = chat_payload(kPayloadSize);
    floor::Keys keys{vector_text("server_public_key_pem"), floor::public_key(vector_text("server_public_key_pem")),
                     floor::private_key(vector_text("client_private_key_pem"))};
    std::map<std::int64_t, RoundCase> rounds;

    const RoundCase& round_case(std::int64_t size) {
        auto found = rounds.find(size);
        if (found != rounds.end()) return found->second;
        RoundCase c{chat_payload(static_cast<std::size_t>(size)), {}, {}, {}};
        c.package = response_package(echo_answer_text(c.payload));
        c.payload_text = detail::serialise_json(c.payload);
        c.parts = floor::take_apart(c.package);
        return rounds.emplace(size, std::move(c)).first->second;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// Runs `io` on `threads` threads (the caller's among them) and returns the
// CPU time they spent.
double run_on_threads(asio::io_context& io, int threads) {
    std::atomic<double> cpu{0};
    auto work = [&io, &cpu] {
        const double before = thread_cpu_seconds();
        io.run();
        const double spent = thread_cpu_seconds() - before;
        double seen = cpu.load();
        while (!cpu.compare_exchange_weak(seen, seen + spent)) {
        }
    };
    io.restart();
    std::vector<std::thread> others;
    for (int i = 1; i < threads; ++i) others.emplace_back(work);
    work();
    for (auto& other : others) other.join();
    return cpu.load();
}

void BM_Exchanges(benchmark::State& state) {
    auto& f = fixture();
    const int in_flight = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    asio::io_context io;
    std::atomic<std::int64_t> answered = 0, failed = 0;
    std::int64_t sequence = 0;
    double cpu = 0;
    for (auto _ : state) {
        for (int i = 0; i < in_flight; ++i)
            asio::co_spawn(io, f.client.send_secure_request(f.payload, "bench-" + std::to_string(++sequence)),
                           [&](std::exception_ptr error, json answer) {
                               if (!error && answer.contains("choices")) ++answered;
                               else ++failed;
                           });
        cpu += run_on_threads(io, threads);
    }
    const double total = static_cast<double>(state.iterations()) * in_flight;
    state.counters["exchanges_per_s"] = benchmark::Counter(in_flight, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["cpu_ms_per_exchange"] = cpu * 1e3 / total;
    state.counters["answered"] = static_cast<double>(answered.load()) / total;
    state.counters["failed"] = static_cast<double>(failed.load());
}

// One chain of rounds; the pointers outlive the io_context's run.
asio::awaitable<void> rounds(Veilrelay* client, const RoundCase* c, int count) {
    for (int i = 0; i < count; ++i) {
        const std::vector<std::uint8_t> package = co_await client->encrypt_payload(c->payload);
        benchmark::DoNotOptimize(package.data());
        const json answer = co_await client->decrypt_response(c->package, "bench");
        benchmark::DoNotOptimize(&answer);
    }
}

void BM_Rounds(benchmark::State& state) {
    auto& f = fixture();
    const RoundCase& c = f.round_case(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    asio::io_context io;
    std::atomic<std::int64_t> failed = 0;
    double cpu = 0;
    for (auto _ : state) {
        for (int t = 0; t < threads; ++t)
            asio::co_spawn(io, rounds(&f.client, &c, kRoundsPerThread), [&failed](std::exception_ptr error) {
                if (error) ++failed;
            });
        cpu += run_on_threads(io, threads);
    }
    const double total = static_cast<double>(state.iterations()) * threads * kRoundsPerThread;
    state.counters["rounds_per_s"] =
        benchmark::Counter(threads * kRoundsPerThread, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["cpu_ms_per_round"] = cpu * 1e3 / total;
    state.counters["failed"] = static_cast<double>(failed.load());
}

// The same rounds by the OpenSSL primitives alone, on plain threads.
void BM_FloorRounds(benchmark::State& state) {
    auto& f = fixture();
    const RoundCase& c = f.round_case(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    auto work = [&f, &c] {
        for (int i = 0; i < kRoundsPerThread; ++i) {
            benchmark::DoNotOptimize(floor::encrypt_primitives(f.keys, c.payload_text));
            benchmark::DoNotOptimize(floor::decrypt_primitives(f.keys, c.parts));
        }
    };
    for (auto _ : state) {
        std::vector<std::thread> others;
        for (int i = 1; i < threads; ++i) others.emplace_back(work);
        work();
        for (auto& other : others) other.join();
    }
    state.counters["rounds_per_s"] =
        benchmark::Counter(threads * kRoundsPerThread, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_Exchanges)->Args({1, 1})->Iterations(40)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Exchanges)->Args({16, 1})->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Exchanges)->Args({256, 1})->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Exchanges)->Args({16, 2})->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Rounds)->ArgsProduct({{kRoundSizes[0], kRoundSizes[1]}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FloorRounds)
    ->ArgsProduct({{kRoundSizes[0], kRoundSizes[1]}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

std::string exchanges_name(int in_flight, int threads) {
    const int iterations = in_flight == 1 ? 40 : in_flight == 16 ? 8 : 2;
    return "BM_Exchanges/" + std::to_string(in_flight) + "/" + std::to_string(threads) +
           "/iterations:" + std::to_string(iterations);
}

std::string rounds_name(std::int64_t size, int threads, const char* benchmark = "BM_Rounds") {
    return std::string(benchmark) + "/" + std::to_string(size) + "/" + std::to_string(threads);
}

void print_rounds(const Results& r);

// The allocator settings of this run: glibc's defaults, or what
// GLIBC_TUNABLES sets (run-benchmarks.sh runs the rounds a second time with
// freed memory kept in the process).
std::string allocator_settings() {
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    return tunables != nullptr && *tunables != '\0' ? std::string("GLIBC_TUNABLES=") + tunables : "glibc malloc defaults";
}

void print_summary(const Results& r) {
    if (std::isnan(r.counter(exchanges_name(1, 1), "exchanges_per_s"))) {
        print_rounds(r);  // a run of the rounds alone
        return;
    }
    std::printf("\nwhole exchanges on one io_context (1 KiB chat payload, router on loopback)\n");
    Table table({"in flight", "threads", "exchanges/s", "client CPU ms/exchange", "answered", "target"});
    auto exchanges_row = [&](int n, int threads) {
        const std::string name = exchanges_name(n, threads);
        const double answered = r.counter(name, "answered");
        table.row({std::to_string(n), std::to_string(threads), fixed(r.counter(name, "exchanges_per_s"), 1),
                   fixed(r.counter(name, "cpu_ms_per_exchange"), 2), fixed(answered * 100, 1) + " %",
                   n == 256 ? (answered == 1.0 ? "all answered: met" : "all answered: MISSED") : "-"});
    };
    for (const auto n : kConcurrency) exchanges_row(n, 1);
    exchanges_row(16, 2);
    table.print();
    print_rounds(r);
}

void print_rounds(const Results& r) {
    std::printf("\nencrypt_payload + decrypt_response rounds sharing one client, one io_context (%d rounds per "
                "thread and iteration; allocator: %s)\n",
                kRoundsPerThread, allocator_settings().c_str());
    Table rounds_table({"payload", "1 thread rounds/s", "2 threads rounds/s", "scaling", "CPU ms/round 1 thread",
                        "CPU ms/round 2 threads", "OpenSSL alone scaling", "target", "result"});
    for (const auto size : kRoundSizes) {
        const double one = r.counter(rounds_name(size, 1), "rounds_per_s");
        const double two = r.counter(rounds_name(size, 2), "rounds_per_s");
        const double scaling = two / one;
        const double floor_scaling = r.counter(rounds_name(size, 2, "BM_FloorRounds"), "rounds_per_s") /
                                     r.counter(rounds_name(size, 1, "BM_FloorRounds"), "rounds_per_s");
        const bool failed = r.counter(rounds_name(size, 1), "failed") != 0 || r.counter(rounds_name(size, 2), "failed") != 0;
        rounds_table.row({size_label(static_cast<std::size_t>(size)), fixed(one, 1), fixed(two, 1),
                          fixed(scaling, 2) + "x", fixed(r.counter(rounds_name(size, 1), "cpu_ms_per_round"), 2),
                          fixed(r.counter(rounds_name(size, 2), "cpu_ms_per_round"), 2),
                          fixed(floor_scaling, 2) + "x", ">= 1.80x",
                          failed ? "FAILED rounds" : scaling >= 1.8 ? "met" : "MISSED"});
    }
    rounds_table.print();
    std::printf("machine: %u hardware threads\n", std::thread::hardware_concurrency());
}

}  // namespace
}  // namespace ossara::bench

int main(int argc, char** argv) {
    ossara::bench::quiet_logs();
    return ossara::bench::run_with_summary(argc, argv, ossara::bench::print_summary);
}
