// Page alignment and the locking, unlocking and zeroing of raw ranges.
#include "fake_platform.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

struct AlignCase {
    int page_size;
    std::uintptr_t addr;
    std::size_t size;
    std::uintptr_t aligned_addr;
    std::size_t aligned_size;
};

class PageAlignment : public FakePlatformTest, public ::testing::WithParamInterface<AlignCase> {};

TEST_P(PageAlignment, WidensToWholePages) {
    const auto& c = GetParam();
    fake().page_size = c.page_size;
    auto hv = handler("linux");
    EXPECT_EQ(hv->_get_page_aligned_range(c.addr, c.size), std::make_pair(c.aligned_addr, c.aligned_size));
}

INSTANTIATE_TEST_SUITE_P(Table, PageAlignment,
                         ::testing::Values(AlignCase{4096, 0x1000, 4096, 0x1000, 4096},
                                           AlignCase{4096, 0x1FFF, 2, 0x1000, 8192},
                                           AlignCase{4096, 0x1001, 4095, 0x1000, 4096},
                                           AlignCase{4096, 0x1001, 4096, 0x1000, 8192},
                                           AlignCase{4096, 0x1234, 0, 0x1000, 4096},
                                           AlignCase{4096, 0x1000, 0, 0x1000, 0},
                                           AlignCase{16384, 0x1234, 10, 0x0, 16384}));

TEST_F(FakePlatformTest, LockHandsWidenedRangeButLogsCallersRange) {
    auto hv = handler("linux");
    logs.clear();
    EXPECT_TRUE(hv->_lock_memory_at(0x1010, 100));
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x1000, 4096}));
    EXPECT_THAT(logs.lines(), ElementsAre("Memory locked: 100 bytes at 0x1010"));

    EXPECT_TRUE(hv->_unlock_memory_at(0xABCDEF10, 16));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0xABCDE000, 4096}));
    EXPECT_EQ(logs.lines().back(), "Memory unlocked: 16 bytes at 0xabcdef10");
}

TEST_F(FakePlatformTest, LockOfZeroBytesStillAsksThePlatform) {
    auto hv = handler("linux");
    EXPECT_TRUE(hv->_lock_memory_at(0x1234, 0));
    EXPECT_TRUE(hv->_lock_memory_at(0x2000, 0));
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x1000, 4096}, Range{0x2000, 0}));
}

struct ErrnoCase {
    int error;
    std::string line;
};

class LockRefused : public FakePlatformTest, public ::testing::WithParamInterface<ErrnoCase> {};

TEST_P(LockRefused, LogsTheLineForItsErrno) {
    fake().lock_result = -1;
    fake().lock_errno = GetParam().error;
    auto hv = handler("linux");
    logs.clear();
    EXPECT_FALSE(hv->_lock_memory_at(0x1000, 10));
    EXPECT_THAT(logs.records(), ElementsAre(::testing::Field(&ossara::testing::LogRecord::text, GetParam().line)));
    EXPECT_EQ(logs.records()[0].level, spdlog::level::debug);
}

INSTANTIATE_TEST_SUITE_P(
    Errnos, LockRefused,
    ::testing::Values(ErrnoCase{1, "mlock permission denied. Grant CAP_IPC_LOCK or increase ulimit -l"},
                      ErrnoCase{12, "mlock failed: insufficient memory or limit exceeded"},
                      ErrnoCase{13, "mlock failed with errno 13"}));

TEST_F(FakePlatformTest, WindowsLockRefusalLogsLastError) {
    fake().win_lock_result = 0;
    fake().win_last_error = 1453;
    auto hv = handler("win32");
    logs.clear();
    EXPECT_FALSE(hv->_lock_memory_at(0x1000, 10));
    EXPECT_THAT(logs.lines(), ElementsAre("VirtualLock failed with error 1453"));

    fake().win_unlock_result = 0;
    EXPECT_FALSE(hv->_unlock_memory_at(0x1000, 10));
    fake().win_unlock_result = 7;  // any nonzero BOOL is success
    EXPECT_TRUE(hv->_unlock_memory_at(0x1000, 10));
    EXPECT_EQ(logs.lines().size(), 2u);
}

TEST_F(FakePlatformTest, UnlockRefusedIsSilent) {
    fake().unlock_result = -1;
    fake().lock_errno = 1;
    auto hv = handler("linux");
    logs.clear();
    EXPECT_FALSE(hv->_unlock_memory_at(0x1000, 10));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x1000, 4096}));
    EXPECT_THAT(logs.lines(), IsEmpty());
}

TEST_F(FakePlatformTest, ErrorsRaisedByBoundFunctionsBecomeFalse) {
    fake().lock_throws = true;
    fake().unlock_throws = true;
    auto hv = handler("linux");
    logs.clear();
    EXPECT_FALSE(hv->_lock_memory_at(0x1000, 10));
    EXPECT_FALSE(hv->_unlock_memory_at(0x1000, 10));
    EXPECT_THAT(logs.lines(),
                ElementsAre("Memory lock failed: lock call broke", "Memory unlock failed: unlock call broke"));
}

TEST_F(FakePlatformTest, DisabledAndFallbackHandlersNeverCallThePlatform) {
    loader->unloadable = {"libc.so.6"};
    auto fallback = handler("linux");
    auto disabled = make_handler("linux", std::make_shared<FakeLoader>(), false);
    std::vector<std::uint8_t> bytes(4, 0x11);
    logs.clear();
    for (auto* hv : {fallback.get(), disabled.get()}) {
        EXPECT_FALSE(hv->_lock_memory_at(0x1000, 10));
        EXPECT_FALSE(hv->_unlock_memory_at(0x1000, 10));
    }
    disabled->_zero_memory_at(address_of(bytes.data()), bytes.size());
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(4, 0x11));
    EXPECT_THAT(logs.lines(), IsEmpty());
    EXPECT_TRUE(fake().locks.empty());
    EXPECT_TRUE(fake().unlocks.empty());
}

TEST_F(FakePlatformTest, NativeZeroingCoversExactlyTheRange) {
    auto hv = handler("linux");
    std::vector<std::uint8_t> bytes(32, 0xEE);
    const auto addr = address_of(bytes.data() + 8);
    logs.clear();
    hv->_zero_memory_at(addr, 16);
    EXPECT_THAT(fake().zeroes, ElementsAre(Range{addr, 16}));
    std::vector<std::uint8_t> expected(32, 0xEE);
    std::fill(expected.begin() + 8, expected.begin() + 24, 0);
    EXPECT_EQ(bytes, expected);
    EXPECT_THAT(logs.lines(), ElementsAre(fmt::format("Memory zeroed (native): 16 bytes at 0x{:x}", addr)));

    logs.clear();
    hv->_zero_memory_at(addr, 0);
    EXPECT_EQ(fake().zeroes.size(), 1u);
    EXPECT_THAT(logs.lines(), IsEmpty());
}

TEST_F(FakePlatformTest, RaisingNativeZeroingStillLeavesZeros) {
    for (const char* platform : {"linux", "win32"}) {
        reset_fake();
        fake().zero_throws = true;
        auto hv = handler(platform);
        std::vector<std::uint8_t> bytes(40, 0xC3);
        logs.clear();
        hv->_zero_memory_at(address_of(bytes.data()), bytes.size());
        EXPECT_EQ(bytes, std::vector<std::uint8_t>(40, 0)) << platform;
        EXPECT_THAT(logs.lines(), ElementsAre("Memory zeroing failed: native zeroing broke")) << platform;
        EXPECT_EQ(logs.records()[0].level, spdlog::level::warn);
    }
}

}  // namespace
}  // namespace hvtest
