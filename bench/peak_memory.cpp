// Peak resident memory of one 10 MiB exchange, as a multiple of the payload
// size. Each measurement runs in a fresh child process (this program run
// again with --child) so nothing of an earlier run is in the figure: the
// child builds the payload, does one small warm-up exchange (libraries and
// secure memory initialised), returns free heap memory to the system, resets
// its high-water mark, and reports
// VmHWM - VmRSS(before) over the operation. The development router runs in
// the parent, so its memory is not counted.
#include "bench_support.hpp"
#include "summary.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ossara::bench {
namespace {

constexpr std::size_t kPayloadSize = 10 << 20;
constexpr double kExchangeTarget = 2.5;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
long status_bytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size())) * 1024;
    return -1;
}

// Resets VmHWM to the current RSS; false where the kernel does not allow it.
bool reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

int child(const std::string& mode, const std::string& url, const std::string& key_path) {
    quiet_logs();
    json payload = chat_payload(kPayloadSize);
    std::vector<std::uint8_t> body;
    if (mode == "decrypt") body = response_package(echo_answer_text(payload));

    Veilrelay client(url, /*allow_http=*/true);
    client.load_keys(key_path);
    asio::io_context io;
    run(io, client.send_secure_request(chat_payload(1 << 10), "warm-up"));

    // Free heap memory the set-up left resident would otherwise be reused
    // unseen and hide part of the operation's peak.
    malloc_trim(0);
    const bool reset = reset_peak();
    const long baseline = reset ? status_bytes("VmRSS") : status_bytes("VmHWM");
    std::size_t result_size = 0;
    if (mode == "exchange") {
        result_size = run(io, client.send_secure_request(std::move(payload), "peak")).size();
    } else if (mode == "encrypt") {
        result_size = run(io, client.encrypt_payload(std::move(payload))).size();
    } else {
        result_size = run(io, client.decrypt_response(std::move(body), "peak")).size();
    }
    const long peak = status_bytes("VmHWM");
    std::printf("%ld %ld %zu %d\n", peak - baseline, baseline, result_size, reset ? 1 : 0);
    return 0;
}

// Runs this program as a child for `mode` and returns its report line.
std::string measure(const std::string& mode, const std::string& url, const std::string& key_path) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl("/proc/self/exe", "peak_memory", "--child", mode.c_str(), url.c_str(), key_path.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return text;
}

int parent() {
    quiet_logs();
    auto router = start_router();
    ClientKeyFile key;
    std::printf("== summary\npeak resident memory above baseline, one 10 MiB payload (%zu bytes), fresh process each\n",
                kPayloadSize);
    Table table({"operation", "peak above baseline (MiB)", "x payload", "baseline RSS (MiB)", "target"});
    int rc = 0;
    for (const char* mode : {"exchange", "encrypt", "decrypt"}) {
        const std::string line = measure(mode, router->base_url(), key.path());
        long above = 0, baseline = 0, reset = 0;
        std::size_t result = 0;
        if (line.empty() || std::sscanf(line.c_str(), "%ld %ld %zu %ld", &above, &baseline, &result, &reset) != 4) {
            table.row({mode, "child failed", "", "", ""});
            rc = 1;
            continue;
        }
        const double ratio = static_cast<double>(above) / static_cast<double>(kPayloadSize);
        std::string target = "-";
        if (std::strcmp(mode, "exchange") == 0)
            target = "< " + fixed(kExchangeTarget, 1) + "x: " + (ratio < kExchangeTarget ? "met" : "MISSED");
        table.row({std::string(mode) + (reset ? "" : " (no HWM reset)"), fixed(above / 1048576.0, 1), fixed(ratio, 2),
                   fixed(baseline / 1048576.0, 1), target});
    }
    table.print();
    return rc;
}

}  // namespace
}  // namespace ossara::bench

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0) return ossara::bench::child(argv[2], argv[3], argv[4]);
    return ossara::bench::parent();
}
