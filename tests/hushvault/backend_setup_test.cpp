// Handler construction: the backend each platform gets, what a failing set-up
// falls back to, and the capability report.
#include "fake_platform.hpp"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace hvtest {
namespace {

const std::string kLinuxReady = "Linux secure memory initialized (mlock + memset)";
const std::string kWindowsReady = "Windows secure memory initialized (VirtualLock + RtlZeroMemory)";
const std::string kFallback = "Using fallback memory protection (zeroing only, no locking)";
std::string unsupported(const std::string& p) {
    return "Platform " + p + " not fully supported. Using fallback memory protection.";
}

struct PlatformCase {
    std::string platform;
    std::vector<std::string> lines;  // the capability line follows them
};

class PlatformSelection : public FakePlatformTest, public ::testing::WithParamInterface<PlatformCase> {};

TEST_P(PlatformSelection, PicksBackendAndLogsItsLines) {
    const auto& [platform, lines] = GetParam();
    const bool full = lines.back() != kFallback;
    auto hv = handler(platform);
    auto expected = lines;
    expected.push_back(capability_line(platform, full ? "full" : "zeroing_only", full));
    EXPECT_EQ(logs.lines(), expected);
    EXPECT_EQ(hv->get_protection_info()["supports_full_protection"], full);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, PlatformSelection,
                         ::testing::Values(PlatformCase{"linux", {kLinuxReady}},
                                           PlatformCase{"linux-x", {kLinuxReady}},
                                           PlatformCase{"darwin", {"macOS secure memory initialized (mlock + memset)"}},
                                           PlatformCase{"win32", {kWindowsReady}},
                                           PlatformCase{"Win32", {unsupported("Win32"), kFallback}},
                                           PlatformCase{"darwin2", {unsupported("darwin2"), kFallback}},
                                           PlatformCase{"Linux", {unsupported("Linux"), kFallback}}));

TEST_F(FakePlatformTest, DisabledHandlerLoadsNothingAndReportsNone) {
    auto hv = handler("linux", false);
    EXPECT_TRUE(loader->opened.empty());
    EXPECT_THAT(logs.lines(), ElementsAre("Secure memory disabled by configuration"));
    EXPECT_EQ(hv->get_protection_info().dump(),
              R"({"enabled":false,"platform":"linux","protection_level":"none","has_memory_locking":false,)"
              R"("has_secure_zeroing":false,"supports_full_protection":false,"page_size":4096,)"
              R"("excludes_from_core_dumps":false})");
}

TEST_F(FakePlatformTest, UnloadableLibcFallsBackWithLoaderText) {
    loader->unloadable = {"libc.so.6"};
    handler("linux");
    EXPECT_THAT(logs.lines(), ElementsAre("Could not initialize Linux mlock: libc.so.6: cannot open shared object "
                                          "file: No such file or directory. Using fallback.",
                                          kFallback, capability_line("linux", "zeroing_only", false)));
}

TEST_F(FakePlatformTest, UnusablePageSizeQueryKeepsFullBackendWith4096) {
    // missing symbol, raising call, and values page alignment cannot use
    for (int breakage = 0; breakage < 4; ++breakage) {
        fake() = FakePlatform{};
        fake().page_size_throws = breakage == 1;
        fake().page_size = breakage == 2 ? 0 : breakage == 3 ? 3000 : 4096;
        loader->missing = {breakage == 0 ? "libc.so.6!getpagesize" : ""};
        logs.clear();
        auto hv = handler("linux");
        EXPECT_EQ(hv->protection_level(), ossara::MemoryProtectionLevel::FULL) << breakage;
        EXPECT_EQ(hv->page_size(), 4096u) << breakage;
        EXPECT_TRUE(logs.lines_at(spdlog::level::warn).empty()) << breakage;
    }
}

TEST_F(FakePlatformTest, MissingMunlockFallsBackWholeButKeepsPageSize) {
    fake().page_size = 16384;
    loader->missing = {"libc.so.6!munlock"};
    auto hv = handler("linux");
    EXPECT_EQ(hv->page_size(), 16384u);
    EXPECT_EQ(logs.lines().front(),
              "Could not initialize Linux mlock: libc.so.6: undefined symbol: munlock. Using fallback.");
    // No function stays bound: nothing reaches the fake library any more.
    std::vector<std::uint8_t> bytes(8, 0xAB);
    EXPECT_FALSE(hv->lock_memory(bytes));
    hv->zero_memory(bytes);
    EXPECT_TRUE(fake().locks.empty() && fake().zeroes.empty());
    EXPECT_TRUE(all_zero(bytes));
}

TEST_F(FakePlatformTest, WindowsZeroingTiers) {
    fake().page_size = 8192;
    std::vector<std::uint8_t> bytes(16, 0x5A);
    handler("win32")->_zero_memory_at(address_of(bytes.data()), bytes.size());
    EXPECT_EQ(handler("win32")->page_size(), 8192u);
    loader->unloadable = {"ntdll"};
    handler("win32")->_zero_memory_at(address_of(bytes.data()), bytes.size());
    EXPECT_THAT(fake().zero_sources, ElementsAre("ntdll", "kernel32"));

    // Third tier: still full, zeroing falls to the byte-by-byte overwrite.
    loader->missing = {"kernel32!RtlZeroMemory"};
    logs.clear();
    auto hv = handler("win32");
    EXPECT_THAT(logs.lines(), ElementsAre("RtlZeroMemory not available, using Python zeroing", kWindowsReady,
                                          capability_line("win32", "full", true, 8192)));
    logs.clear();
    bytes.assign(24, 0x77);
    hv->_zero_memory_at(address_of(bytes.data()), bytes.size());
    EXPECT_TRUE(all_zero(bytes));
    EXPECT_EQ(fake().zeroes.size(), 2u);
    EXPECT_THAT(logs.lines(),
                ElementsAre(fmt::format("Memory zeroed (fallback): 24 bytes at 0x{:x}", address_of(bytes.data()))));
}

#if defined(_WIN32)
// Windows' own loader: kernel32 is there, and its VirtualLock really locks.
TEST(RealLoader, Win32LocksForReal) {
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    ossara::Hushvault hv("win32", ossara::detail::system_loader());
    EXPECT_EQ(hv.protection_level(), ossara::MemoryProtectionLevel::FULL);
    EXPECT_EQ(logs.lines().at(0), kWindowsReady);
    std::vector<std::uint8_t> secret(100, 0x5a);
    ASSERT_TRUE(hv.lock_memory(secret));
    EXPECT_TRUE(hv.unlock_memory(secret));
}
#else
TEST(RealLoader, Win32WithoutKernel32FallsBack) {
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    ossara::Hushvault hv("win32", ossara::detail::system_loader());
    EXPECT_EQ(hv.protection_level(), ossara::MemoryProtectionLevel::ZEROING_ONLY);
    const auto warning = logs.lines().at(0);
    EXPECT_TRUE(warning.starts_with("Could not initialize Windows VirtualLock: kernel32")) << warning;
    EXPECT_TRUE(warning.ends_with(". Using fallback.")) << warning;
}
#endif

}  // namespace
}  // namespace hvtest
