// The veilrelay-dev-router program: first stdout line is its URL, it serves
// the configured key, and it stops cleanly on SIGTERM.
#include "transport/run_async.hpp"

#include "support/subprocess.hpp"
#include "support/test_data.hpp"
#include "transport/http_transport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>

namespace {

using namespace std::chrono_literals;
using ossara::testing::BackgroundProcess;

TEST(DevRouterProgram, PrintsItsUrlServesTheKeyAndStopsOnSigterm) {
    const auto vectors = nlohmann::json::parse(
        ossara::testing::read_text_file(ossara::testing::test_data_dir() / "vectors" / "packages.json"));
    ossara::testing::TempDir dir;
    const auto key_file = dir.path() / "server-key.pem";
    std::ofstream(key_file) << vectors["server_private_key_pem"].get<std::string>();

    BackgroundProcess router({DEV_ROUTER_BINARY, "--port", "0", "--server-key", key_file.string()}, dir.path());
    const std::string url = router.first_line(60s);
    ASSERT_THAT(url, ::testing::MatchesRegex("http://127\\.0\\.0\\.1:[0-9]+"));

    ossara::detail::HttpRequest request;
    request.url = url + "/pki/public_key";
    request.limits = {std::chrono::milliseconds(5000), std::chrono::seconds(10)};
    const auto response = ossara::testing::run_async(ossara::detail::http_exchange(std::move(request)));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()),
              vectors["server_public_key_pem"].get<std::string>());

    EXPECT_EQ(router.stop(30s), 0);  // SIGTERM
}

TEST(DevRouterProgram, RefusesACertificateWithoutItsKey) {
    ossara::testing::TempDir dir;
    const auto cert = dir.path() / "cert.pem";
    std::ofstream(cert) << "x";
    BackgroundProcess router({DEV_ROUTER_BINARY, "--tls-cert", cert.string()}, dir.path());
    const int status = router.wait_exit(30s);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
}

}  // namespace
