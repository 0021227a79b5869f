// The client side of the scale-out test (haproxy_scale_test.sh): requests
// through the load balancer with the client library, bounded in number,
// concurrency, pace and time, each written down with its start, end and
// outcome; and the check that every failure was in flight while a replica
// was stopping.
//
//   scale_load port                                  a free loopback port
//   scale_load run URL TOTAL CONCURRENCY PER_SECOND TIMELINE DONE_FLAG [PIN...]
//   scale_load check TIMELINE WINDOWS TOTAL
//
// TIMELINE lines: "index start_ns end_ns outcome"; WINDOWS lines (written by
// the script): "sigterm_ns exited_ns" per replica stop. Until the file
// DONE_FLAG exists (the script's steps are over) the last fifth of the
// requests trickle at 4 a second, so requests stay in flight for as long as
// a slow machine takes for those steps. Times are the
// realtime clock in nanoseconds, the one `date +%s%N` reads.
#include <ossara/Veilrelay.hpp>
#include <ossara/veilrelay/errors.hpp>

#include "support/test_data.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::system_clock;
using json = nlohmann::ordered_json;

// No request may take longer: one that does counts as a hang.
constexpr std::chrono::seconds kRequestLimit{30};
// The whole run's bound: requests not started by then are not sent.
constexpr std::chrono::seconds kRunLimit{100};

long long now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

// One word for what ended a request: "ok", the error class (with its HTTP
// status), "hang" when it passed kRequestLimit, "untyped:..." for an error
// that is none of the library's classes.
std::string outcome_of(std::exception_ptr error) {
    if (!error) return "ok";
    try {
        std::rethrow_exception(error);
    } catch (const ossara::APIError& e) {
        // The status names the class (ServiceUnavailableError for 503, ...).
        return "APIError:" + std::to_string(e.status_code.value_or(0));
    } catch (const ossara::APIConnectionError&) {
        return "APIConnectionError";
    } catch (const ossara::SecurityError&) {
        return "SecurityError";
    } catch (const ossara::Exception&) {
        return "Exception";
    } catch (const std::exception& e) {
        std::string what = e.what();
        std::replace_if(what.begin(), what.end(), [](char c) { return c == ' ' || c == '\n'; }, '_');
        return "untyped:" + what.substr(0, 80);
    }
}

struct Timeline {
    std::mutex mutex;
    std::ofstream file;
    std::map<std::string, int> counts;

    void add(int index, long long start, long long end, const std::string& outcome) {
        const std::lock_guard lock(mutex);
        // One line per finished request, flushed: the script counts them to pace its steps.
        file << index << ' ' << start << ' ' << end << ' ' << outcome << std::endl;
        ++counts[outcome];
    }
};

// Sends one request on a private io_context, bounded by kRequestLimit;
// destroying the io_context with the request unfinished cancels it.
std::string send_one(ossara::Veilrelay& client, int index) {
    asio::io_context io;
    bool finished = false;
    std::exception_ptr error;
    const std::string text = "request " + std::to_string(index);
    const json payload{{"model", "scale"}, {"messages", json::array({json{{"role", "user"}, {"content", text}}})}};
    asio::co_spawn(io, client.send_secure_request(payload, "scale-" + std::to_string(index)),
                   [&](std::exception_ptr e, json answer) {
                       finished = true;
                       error = e;
                       if (!e && answer["choices"][0]["message"]["content"] != text)
                           error = std::make_exception_ptr(std::runtime_error("wrong answer"));
                   });
    io.run_for(kRequestLimit);
    return finished ? outcome_of(error) : "hang";
}

int run(const std::vector<std::string>& args) {
    if (args.size() < 6)
        throw std::invalid_argument("run URL TOTAL CONCURRENCY PER_SECOND TIMELINE DONE_FLAG [PIN...]");
    const std::string url = args[0];
    const int total = std::stoi(args[1]);
    const int concurrency = std::stoi(args[2]);
    const double per_second = std::stod(args[3]);
    const std::filesystem::path done_flag = args[5];
    const std::vector<std::string> pins(args.begin() + 6, args.end());

    // The published test client key: no RSA-4096 generation per run.
    const std::string key_file = args[4] + ".client-key.pem";
    {
        const auto vectors_file = ossara::testing::test_data_dir() / "vectors/packages.json";
        const json vectors = json::parse(ossara::testing::read_text_file(vectors_file));
        std::ofstream(key_file) << vectors["client_private_key_pem"].get<std::string>();
    }
    // Plain HTTP on loopback is meant: neither its warning nor the library's
    // per-request warning lines about it (the library takes a logger of its
    // name that the application registered first).
    ossara::set_warning_handler([](auto, auto, const auto&) {});
    spdlog::stderr_color_mt("ossara.Veilrelay")->set_level(spdlog::level::err);

    Timeline timeline;
    timeline.file.open(args[4], std::ios::trunc);
    // Start slots handed out in order: request i starts at its slot.
    std::mutex slots;
    int next = 0;
    const auto started = Clock::now();
    Clock::time_point next_slot = started;
    const auto take = [&]() -> std::pair<int, Clock::time_point> {
        const std::lock_guard lock(slots);
        if (next >= total || next_slot - started > kRunLimit) return {-1, {}};
        const bool trickle = next >= total * 4 / 5 && !std::filesystem::exists(done_flag);
        const auto slot = next_slot;
        const std::chrono::duration<double> interval(1.0 / (trickle ? 4.0 : per_second));
        next_slot += std::chrono::duration_cast<Clock::duration>(interval);
        return {next++, slot};
    };
    const auto worker = [&] {
        ossara::Veilrelay client(url, /*allow_http=*/true);
        client.load_keys(key_file);
        client.pin_server_keys(pins);
        for (auto [i, slot] = take(); i >= 0; std::tie(i, slot) = take()) {
            std::this_thread::sleep_until(slot);
            const long long start = now_ns();
            const std::string outcome = send_one(client, i);
            timeline.add(i, start, now_ns(), outcome);
        }
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < concurrency; ++t) workers.emplace_back(worker);
    for (auto& t : workers) t.join();

    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << "sent " << next << " of " << total << " requests in " << seconds << " s:";
    for (const auto& [outcome, n] : timeline.counts) std::cout << ' ' << outcome << '=' << n;
    std::cout << std::endl;
    std::remove(key_file.c_str());
    return 0;
}

// Every request ended; every failure is typed and was in flight while a
// replica was stopping (between its SIGTERM and its exit).
int check(const std::vector<std::string>& args) {
    if (args.size() != 3) throw std::invalid_argument("check TIMELINE WINDOWS TOTAL");
    std::vector<std::pair<long long, long long>> windows;
    std::ifstream window_file(args[1]);
    for (long long from, to; window_file >> from >> to;) windows.emplace_back(from, to);

    std::ifstream timeline(args[0]);
    std::map<std::string, int> counts;
    int lines = 0, failed = 0, failed_in_window = 0, faults = 0;
    int index;
    long long start, end;
    std::string outcome;
    while (timeline >> index >> start >> end >> outcome) {
        ++lines;
        ++counts[outcome];
        if (outcome == "ok") continue;
        ++failed;
        const bool in_window = std::any_of(windows.begin(), windows.end(),
                                           [&](const auto& w) { return start <= w.second && end >= w.first; });
        const bool typed = outcome != "hang" && !outcome.starts_with("untyped:");
        if (in_window && typed) {
            ++failed_in_window;
        } else {
            ++faults;
            std::cout << "FAULT: request " << index << " ended with " << outcome
                      << (in_window ? "" : " while no replica was stopping") << std::endl;
        }
    }
    const int total = std::stoi(args[2]);
    std::cout << lines << " requests, " << windows.size() << " replica stops: " << lines - failed << " succeeded, "
              << failed_in_window << " failed with a typed error while in flight on a stopping replica, " << faults
              << " faults";
    for (const auto& [name, n] : counts) std::cout << "; " << name << '=' << n;
    std::cout << std::endl;
    if (lines != total)
        std::cout << "FAULT: " << total - lines << " requests were never sent or never ended" << std::endl;
    return faults == 0 && lines == total ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "port") {
            std::cout << free_port() << std::endl;
            return 0;
        }
        if (command == "run") return run(args);
        if (command == "check") return check(args);
    } catch (const std::exception& e) {
        std::cerr << "scale_load: " << e.what() << std::endl;
        return 2;
    }
    std::cerr << "usage: scale_load port | run URL TOTAL CONCURRENCY PER_SECOND TIMELINE DONE_FLAG [PIN...]"
                 " | check TIMELINE WINDOWS TOTAL"
              << std::endl;
    return 2;
}
