// The veilrelay-dev-router program: first stdout line is its URL, it serves
// the configured key, and it stops cleanly on SIGTERM.
#include "transport/run_async.hpp"

#include "support/test_data.hpp"
#include "transport/http_transport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// A child process with its stdout on a pipe; killed if the test leaves early.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), DEV_ROUTER_BINARY);
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        stdout_ = out[0];
        if (rc != 0) throw std::runtime_error("posix_spawn failed");
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdout_);
    }

    // The first line of stdout, or "" when none comes within the limit.
    std::string first_line(std::chrono::seconds limit) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buffer[256];
            const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        return line.substr(0, line.find('\n'));
    }

    void signal(int number) { ::kill(pid_, number); }

    // The exit status, or -1 when the process is still running after the limit.
    int wait_exit(std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

TEST(DevRouterProgram, PrintsItsUrlServesTheKeyAndStopsOnSigterm) {
    const auto vectors = nlohmann::json::parse(
        ossara::testing::read_text_file(ossara::testing::test_data_dir() / "vectors" / "packages.json"));
    ossara::testing::TempDir dir;
    const auto key_file = dir.path() / "server-key.pem";
    std::ofstream(key_file) << vectors["server_private_key_pem"].get<std::string>();

    Child router({"--port", "0", "--server-key", key_file.string()});
    const std::string url = router.first_line(60s);
    ASSERT_THAT(url, ::testing::MatchesRegex("http://127\\.0\\.0\\.1:[0-9]+"));

    ossara::detail::HttpRequest request;
    request.url = url + "/pki/public_key";
    request.limits = {std::chrono::milliseconds(5000), std::chrono::seconds(10)};
    const auto response = ossara::testing::run_async(ossara::detail::http_exchange(std::move(request)));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()),
              vectors["server_public_key_pem"].get<std::string>());

    router.signal(SIGTERM);
    EXPECT_EQ(router.wait_exit(30s), 0);
}

TEST(DevRouterProgram, RefusesACertificateWithoutItsKey) {
    ossara::testing::TempDir dir;
    const auto cert = dir.path() / "cert.pem";
    std::ofstream(cert) << "x";
    Child router({"--tls-cert", cert.string()});
    const int status = router.wait_exit(30s);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
}

}  // namespace
