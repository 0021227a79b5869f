// A 10 MiB encrypt_payload in a fresh process against the same round after
// smaller ones, one client, the default allocator: the process's earlier
// sizes decide whether the large buffers land on fresh pages or recycled
// ones. Each figure comes from a child process of its own (this program run
// again with --child): "alone" times 10 MiB rounds only; "mixed" times the
// 10 MiB rounds of cycles of 1 KiB, 1 MiB, 10 MiB and 1 MiB. Payloads are
// built before the first round, as a caller's would be. Wall time, median.
#include "bench_support.hpp"
#include "summary.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace ossara::bench {
namespace {

constexpr int kRounds = 9;
constexpr double kTarget = 1.2;

int child(const std::string& mode, const std::string& url, const std::string& key_path) {
    quiet_logs();
    const json tiny = chat_payload(1 << 10), small = chat_payload(1 << 20), large = chat_payload(10 << 20);
    Veilrelay client(url, /*allow_http=*/true);
    client.load_keys(key_path);
    asio::io_context io;
    const auto round = [&](const json& payload) {
        json copy = payload;  // the caller's copy, handed over by value
        const auto start = std::chrono::steady_clock::now();
        run(io, client.encrypt_payload(std::move(copy)));
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    std::vector<double> large_ms;
    for (int i = 0; i < kRounds; ++i) {
        if (mode == "mixed") round(i % 2 == 0 ? small : tiny), round(small);
        large_ms.push_back(round(large));
    }
    std::nth_element(large_ms.begin(), large_ms.begin() + kRounds / 2, large_ms.end());
    std::printf("%.3f\n", large_ms[kRounds / 2]);
    return 0;
}

// This program as a child for `mode`: its median in ms, or a negative value.
double measure(const std::string& mode, const std::string& url, const std::string& key_path) {
    int out[2];
    if (pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl("/proc/self/exe", "size_mix", "--child", mode.c_str(), url.c_str(), key_path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[64];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return -1;
    return std::stod(text);
}

int parent() {
    quiet_logs();
    auto router = start_router();
    ClientKeyFile key;
    // Alternated, so that a machine slowing down during the run moves both.
    std::vector<double> alone, mixed;
    for (int i = 0; i < 3; ++i) {
        alone.push_back(measure("alone", router->base_url(), key.path()));
        mixed.push_back(measure("mixed", router->base_url(), key.path()));
    }
    std::sort(alone.begin(), alone.end());
    std::sort(mixed.begin(), mixed.end());
    const double a = alone[1], m = mixed[1];
    std::printf("== summary\n10 MiB encrypt_payload, wall ms (median of %d rounds, median of 3 processes each)\n",
                kRounds);
    Table table({"fresh process, 10 MiB only", "after 1 KiB / 1 MiB rounds", "ratio", "target"});
    const bool ok = a > 0 && m > 0;
    table.row({fixed(a, 3), fixed(m, 3), ok ? fixed(m / a, 2) : "child failed",
               "<= " + fixed(kTarget, 1) + "x: " + (ok && m <= kTarget * a ? "met" : "MISSED")});
    table.print();
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace ossara::bench

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0) return ossara::bench::child(argv[2], argv[3], argv[4]);
    return ossara::bench::parent();
}
