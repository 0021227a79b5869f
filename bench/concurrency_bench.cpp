// Whole exchanges (send_secure_request) against the development router on
// 127.0.0.1: exchanges per second and client CPU per exchange with 1, 16 and
// 256 exchanges in flight at once on one io_context thread. The client CPU
// is the CPU time of that thread (the router runs on threads of its own).
#include "bench_support.hpp"
#include "summary.hpp"

#include <benchmark/benchmark.h>

#include <ctime>

namespace ossara::bench {
namespace {

constexpr int kConcurrency[] = {1, 16, 256};
constexpr std::size_t kPayloadSize = 1 << 10;

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Fixture {
    std::unique_ptr<devrouter::Router> router = start_router(/*worker_threads=*/32);
    ClientKeyFile key_file;
    Veilrelay client = make_client(router->base_url(), key_file);
    json payload = chat_payload(kPayloadSize);
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Exchanges(benchmark::State& state) {
    auto& f = fixture();
    const int in_flight = static_cast<int>(state.range(0));
    asio::io_context io;
    std::int64_t answered = 0, failed = 0, sequence = 0;
    double cpu = 0;
    for (auto _ : state) {
        for (int i = 0; i < in_flight; ++i)
            asio::co_spawn(io, f.client.send_secure_request(f.payload, "bench-" + std::to_string(++sequence)),
                           [&](std::exception_ptr error, json answer) {
                               if (!error && answer.contains("choices")) ++answered;
                               else ++failed;
                           });
        const double before = thread_cpu_seconds();
        io.restart();
        io.run();
        cpu += thread_cpu_seconds() - before;
    }
    const double total = static_cast<double>(state.iterations()) * in_flight;
    state.counters["exchanges_per_s"] = benchmark::Counter(in_flight, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["cpu_ms_per_exchange"] = cpu * 1e3 / total;
    state.counters["answered"] = static_cast<double>(answered) / total;
    state.counters["failed"] = static_cast<double>(failed);
}

BENCHMARK(BM_Exchanges)->Arg(1)->Iterations(40)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Exchanges)->Arg(16)->Iterations(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Exchanges)->Arg(256)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void print_summary(const Results& r) {
    std::printf("\nwhole exchanges on one io_context thread (1 KiB chat payload, router on loopback)\n");
    Table table({"in flight", "exchanges/s", "client CPU ms/exchange", "answered", "target"});
    for (const auto n : kConcurrency) {
        const std::string name = "BM_Exchanges/" + std::to_string(n) + "/iterations:" +
                                 std::to_string(n == 1 ? 40 : n == 16 ? 8 : 2);
        const double answered = r.counter(name, "answered");
        table.row({std::to_string(n), fixed(r.counter(name, "exchanges_per_s"), 1),
                   fixed(r.counter(name, "cpu_ms_per_exchange"), 2), fixed(answered * 100, 1) + " %",
                   n == 256 ? (answered == 1.0 ? "all answered: met" : "all answered: MISSED") : "-"});
    }
    table.print();
}

}  // namespace
}  // namespace ossara::bench

int main(int argc, char** argv) {
    ossara::bench::quiet_logs();
    return ossara::bench::run_with_summary(argc, argv, ossara::bench::print_summary);
}
