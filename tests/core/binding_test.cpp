#include "support/test_data.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kFallbackWarning = "Hushvault module not available, falling back to standard memory handling";

struct ProbeResult {
    int exit_code = -1;
    std::string stdout_text;
    std::string stderr_text;
};

// The loader's search path that comes before the probe's own (RUNPATH on
// Linux, the rpath on macOS).
#if defined(__APPLE__)
constexpr const char* kLibraryPathVariable = "DYLD_LIBRARY_PATH";
#else
constexpr const char* kLibraryPathVariable = "LD_LIBRARY_PATH";
#endif

// A directory holding a copy of libVeilrelay (and whatever the test adds);
// the probe runs with the library path pointing there, so it loads the copy.
class IsolatedLibrary : public ::testing::Test {
protected:
    void SetUp() override { fs::copy_file(VEILRELAY_LIB, dir.path() / VEILRELAY_SONAME); }

    ProbeResult run_probe(const std::vector<std::string>& key_files = {}) const {
        const auto out = dir.path() / "stdout.txt";
        const auto err = dir.path() / "stderr.txt";
        std::string argument;
        for (const auto& file : key_files) argument += " '" + file + "'";
        const std::string command = std::string(kLibraryPathVariable) + "='" + dir.path().string() + "' '" +
                                    BINDING_PROBE + "'" +
                                    argument + " >'" + out.string() + "' 2>'" + err.string() + "'";
        ProbeResult result;
        const int status = std::system(command.c_str());
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.stdout_text = ossara::testing::read_text_file(out);
        result.stderr_text = ossara::testing::read_text_file(err);
        return result;
    }

    ossara::testing::TempDir dir;
};

TEST_F(IsolatedLibrary, MissingSecureMemoryLibraryFallsBackWithAWarning) {
    const ProbeResult result = run_probe();
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    EXPECT_EQ(result.stdout_text, "use_secure_memory=0\n");
    EXPECT_THAT(result.stderr_text, HasSubstr(kFallbackWarning));
}

TEST_F(IsolatedLibrary, LibraryWithOnlyOneEntryPointFallsBackWithAWarning) {
    fs::copy_file(PARTIAL_HUSHVAULT_LIB, dir.path() / HUSHVAULT_SONAME);
    const ProbeResult result = run_probe();
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    EXPECT_EQ(result.stdout_text, "use_secure_memory=0\n");
    EXPECT_THAT(result.stderr_text, HasSubstr(kFallbackWarning));
}

TEST_F(IsolatedLibrary, SecureMemoryLibraryBesideTheClientIsBound) {
    fs::copy_file(HUSHVAULT_LIB, dir.path() / HUSHVAULT_SONAME);
    const ProbeResult result = run_probe();
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    EXPECT_EQ(result.stdout_text, "use_secure_memory=1\n");
    EXPECT_THAT(result.stderr_text, Not(HasSubstr(kFallbackWarning)));
}

// A client's key loading goes through the handler's lock, zero and unlock;
// a library of the first bridge version has no unlock slot to call.
TEST_F(IsolatedLibrary, OlderLibraryIsBoundWithoutItsMissingEntryAndWarnsOnce) {
    fs::copy_file(OLDER_HUSHVAULT_LIB, dir.path() / HUSHVAULT_SONAME);
    const auto vectors = nlohmann::json::parse(
        ossara::testing::read_text_file(ossara::testing::test_data_dir() / "vectors" / "packages.json"));
    const auto key_file = dir.path() / "client.pem";
    std::ofstream(key_file) << vectors.at("client_private_key_pem").get<std::string>();
    const ProbeResult result = run_probe({key_file.string(), key_file.string()});  // two loads, one warning
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    EXPECT_EQ(result.stdout_text, "use_secure_memory=1\nkey_loaded=1\n") << result.stderr_text;
    EXPECT_THAT(result.stderr_text, HasSubstr("older library: lock_memory"));
    EXPECT_THAT(result.stderr_text, HasSubstr("older library: zero_memory"));
    const std::string warning = "Hushvault module is older than this client (bridge version 1, expected 2)";
    const auto first = result.stderr_text.find(warning);
    EXPECT_NE(first, std::string::npos) << result.stderr_text;
    EXPECT_EQ(result.stderr_text.find(warning, first + 1), std::string::npos) << "warned more than once";
    EXPECT_THAT(result.stderr_text, Not(HasSubstr(kFallbackWarning)));
}

TEST(LinkDependencies, ClientLibraryDoesNotNeedTheSecureMemoryLibrary) {
    if (std::system("command -v readelf >/dev/null 2>&1") != 0) GTEST_SKIP() << "readelf not installed";
    ossara::testing::TempDir dir;
    const auto out = dir.path() / "dynamic.txt";
    ASSERT_EQ(std::system(("readelf -d '" + std::string(VEILRELAY_LIB) + "' >'" + out.string() + "'").c_str()), 0);
    const std::string dynamic = ossara::testing::read_text_file(out);
    EXPECT_THAT(dynamic, HasSubstr("(NEEDED)"));
    EXPECT_THAT(dynamic, Not(HasSubstr("libHushvault")));
}

}  // namespace
