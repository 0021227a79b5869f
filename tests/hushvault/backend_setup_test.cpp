// Handler construction: which backend each platform gets, what a failing
// set-up falls back to, and the capability report.
#include "fake_platform.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

using ::testing::ElementsAre;
using ossara::MemoryProtectionLevel;

namespace hvtest {
namespace {

const char* const kLinuxReady = "Linux secure memory initialized (mlock + memset)";
const char* const kWindowsReady = "Windows secure memory initialized (VirtualLock + RtlZeroMemory)";
const char* const kFallback = "Using fallback memory protection (zeroing only, no locking)";

struct PlatformCase {
    std::string platform;
    MemoryProtectionLevel level;
    std::vector<std::string> lines;  // every line but the capability line
};

class PlatformSelection : public FakePlatformTest, public ::testing::WithParamInterface<PlatformCase> {};

TEST_P(PlatformSelection, PicksBackendAndLogsItsLines) {
    const auto& c = GetParam();
    auto hv = handler(c.platform);
    const bool full = c.level == MemoryProtectionLevel::FULL;
    EXPECT_EQ(hv->protection_level(), c.level);
    EXPECT_EQ(hv->has_mlock(), full);
    EXPECT_TRUE(hv->has_secure_zero());
    auto expected = c.lines;
    expected.push_back(capability_line(c.platform, full ? "full" : "zeroing_only", full, true, 4096));
    EXPECT_EQ(logs.lines(), expected);
}

const std::string kUnsupported = " not fully supported. Using fallback memory protection.";

INSTANTIATE_TEST_SUITE_P(
    Identifiers, PlatformSelection,
    ::testing::Values(PlatformCase{"linux", MemoryProtectionLevel::FULL, {kLinuxReady}},
                      PlatformCase{"linux-x", MemoryProtectionLevel::FULL, {kLinuxReady}},
                      PlatformCase{"darwin", MemoryProtectionLevel::FULL, {"macOS secure memory initialized (mlock + memset)"}},
                      PlatformCase{"win32", MemoryProtectionLevel::FULL, {kWindowsReady}},
                      PlatformCase{"Win32", MemoryProtectionLevel::ZEROING_ONLY, {"Platform Win32" + kUnsupported, kFallback}},
                      PlatformCase{"darwin2", MemoryProtectionLevel::ZEROING_ONLY, {"Platform darwin2" + kUnsupported, kFallback}},
                      PlatformCase{"win32 ", MemoryProtectionLevel::ZEROING_ONLY, {"Platform win32 " + kUnsupported, kFallback}},
                      PlatformCase{"Linux", MemoryProtectionLevel::ZEROING_ONLY, {"Platform Linux" + kUnsupported, kFallback}}));

TEST_F(FakePlatformTest, DisabledHandlerLoadsNothingAndReportsNone) {
    auto hv = handler("linux", false);
    EXPECT_TRUE(loader->opened.empty());
    EXPECT_THAT(logs.lines(), ElementsAre("Secure memory disabled by configuration"));
    const auto info = hv->get_protection_info();
    EXPECT_EQ(info.dump(),
              R"({"enabled":false,"platform":"linux","protection_level":"none","has_memory_locking":false,)"
              R"("has_secure_zeroing":false,"supports_full_protection":false,"page_size":4096})");
}

TEST_F(FakePlatformTest, UnloadableLibcFallsBackWithLoaderText) {
    loader->unloadable = {"libc.so.6"};
    auto hv = handler("linux");
    EXPECT_THAT(logs.lines(),
                ElementsAre("Could not initialize Linux mlock: libc.so.6: cannot open shared object file: No such file "
                            "or directory. Using fallback.",
                            kFallback, capability_line("linux", "zeroing_only", false, true, 4096)));
    EXPECT_EQ(logs.lines_at(spdlog::level::warn).size(), 1u);
    EXPECT_FALSE(hv->get_protection_info()["supports_full_protection"].get<bool>());
}

TEST_F(FakePlatformTest, UnusablePageSizeQueryKeepsFullBackendWith4096) {
    for (auto breakage : {0, 1, 2, 3}) {
        reset_fake();
        auto local = std::make_shared<FakeLoader>();
        if (breakage == 0) local->missing = {"libc.so.6!getpagesize"};
        if (breakage == 1) fake().page_size_throws = true;
        if (breakage == 2) fake().page_size = 0;     // would break page alignment
        if (breakage == 3) fake().page_size = 3000;  // not a power of two
        logs.clear();
        auto hv = make_handler("linux", local);
        EXPECT_EQ(hv->protection_level(), MemoryProtectionLevel::FULL) << breakage;
        EXPECT_EQ(hv->page_size(), 4096u) << breakage;
        EXPECT_TRUE(logs.lines_at(spdlog::level::warn).empty()) << breakage;
    }
}

TEST_F(FakePlatformTest, ReportedPageSizeIsUsed) {
    fake().page_size = 16384;
    EXPECT_EQ(handler("linux")->page_size(), 16384u);
    EXPECT_EQ(handler("win32")->page_size(), 16384u);
}

TEST_F(FakePlatformTest, MissingMunlockFallsBackWholeButKeepsPageSize) {
    fake().page_size = 16384;
    loader->missing = {"libc.so.6!munlock"};
    auto hv = handler("linux");
    EXPECT_EQ(hv->protection_level(), MemoryProtectionLevel::ZEROING_ONLY);
    EXPECT_EQ(hv->page_size(), 16384u);
    EXPECT_EQ(logs.lines().front(),
              "Could not initialize Linux mlock: libc.so.6: undefined symbol: munlock. Using fallback.");
    // No function stays bound: nothing reaches the fake library any more.
    std::vector<std::uint8_t> bytes(8, 0xAB);
    EXPECT_FALSE(hv->_lock_memory_at(address_of(bytes.data()), bytes.size()));
    hv->_zero_memory_at(address_of(bytes.data()), bytes.size());
    EXPECT_TRUE(fake().locks.empty());
    EXPECT_TRUE(fake().zeroes.empty());
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(8, 0));
}

TEST_F(FakePlatformTest, WindowsZeroingTiers) {
    std::vector<std::uint8_t> bytes(16, 0x5A);
    {
        auto hv = handler("win32");
        hv->_zero_memory_at(address_of(bytes.data()), bytes.size());
        EXPECT_THAT(fake().zero_sources, ElementsAre("ntdll!RtlZeroMemory"));
    }
    reset_fake();
    loader->unloadable = {"ntdll"};
    {
        auto hv = handler("win32");
        hv->_zero_memory_at(address_of(bytes.data()), bytes.size());
        EXPECT_THAT(fake().zero_sources, ElementsAre("kernel32!RtlZeroMemory"));
    }
}

TEST_F(FakePlatformTest, WindowsWithoutRtlZeroMemoryStaysFullAndZeroesByteByByte) {
    loader->missing = {"ntdll!RtlZeroMemory", "kernel32!RtlZeroMemory"};
    auto hv = handler("win32");
    EXPECT_THAT(logs.lines(), ElementsAre("RtlZeroMemory not available, using Python zeroing", kWindowsReady,
                                          capability_line("win32", "full", true, true, 4096)));
    EXPECT_EQ(hv->protection_level(), MemoryProtectionLevel::FULL);
    EXPECT_TRUE(hv->has_secure_zero());

    logs.clear();
    std::vector<std::uint8_t> bytes(24, 0x77);
    const auto addr = address_of(bytes.data());
    hv->_zero_memory_at(addr, bytes.size());
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(24, 0));
    EXPECT_TRUE(fake().zeroes.empty());
    EXPECT_THAT(logs.lines(), ElementsAre(fmt::format("Memory zeroed (fallback): 24 bytes at 0x{:x}", addr)));
}

TEST_F(FakePlatformTest, WindowsFailuresFallBack) {
    loader->missing = {"kernel32!VirtualUnlock"};
    auto hv = handler("win32");
    EXPECT_EQ(hv->protection_level(), MemoryProtectionLevel::ZEROING_ONLY);
    EXPECT_EQ(logs.lines().front(),
              "Could not initialize Windows VirtualLock: kernel32: undefined symbol: VirtualUnlock. Using fallback.");
}

TEST(RealLoader, Win32WithoutKernel32FallsBack) {
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    auto hv = std::make_shared<ossara::Hushvault>("win32", ossara::detail::system_loader());
    EXPECT_EQ(hv->protection_level(), MemoryProtectionLevel::ZEROING_ONLY);
    const auto warnings = logs.lines_at(spdlog::level::warn);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Could not initialize Windows VirtualLock: kernel32")) << warnings[0];
    EXPECT_TRUE(warnings[0].ends_with(". Using fallback.")) << warnings[0];
}

TEST(RealLoader, LinuxBackendIsFull) {
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    auto hv = std::make_shared<ossara::Hushvault>();
    EXPECT_EQ(hv->platform(), "linux");
    EXPECT_EQ(hv->protection_level(), MemoryProtectionLevel::FULL);
    EXPECT_EQ(hv->page_size(), static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_THAT(logs.lines(), ElementsAre(kLinuxReady, capability_line("linux", "full", true, true, hv->page_size())));
}

TEST_F(FakePlatformTest, ProtectionInfoIsAFreshObject) {
    auto hv = handler("linux");
    auto info = hv->get_protection_info();
    std::vector<std::string> keys;
    for (auto& [key, value] : info.items()) keys.push_back(key);
    EXPECT_THAT(keys, ElementsAre("enabled", "platform", "protection_level", "has_memory_locking",
                                  "has_secure_zeroing", "supports_full_protection", "page_size"));
    info["enabled"] = false;
    EXPECT_TRUE(hv->get_protection_info()["enabled"].get<bool>());
    EXPECT_TRUE(hv->get_protection_info()["supports_full_protection"].get<bool>());
}

}  // namespace
}  // namespace hvtest
