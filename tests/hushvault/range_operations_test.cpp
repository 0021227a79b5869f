// Page alignment and the locking, unlocking and zeroing of raw ranges.
#include "fake_platform.hpp"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

struct AlignCase {
    int page_size;
    std::uintptr_t addr;
    std::size_t size;
    std::pair<std::uintptr_t, std::size_t> aligned;
};

class PageAlignment : public FakePlatformTest, public ::testing::WithParamInterface<AlignCase> {};

TEST_P(PageAlignment, WidensToWholePages) {
    fake().page_size = GetParam().page_size;
    EXPECT_EQ(handler("linux")->_get_page_aligned_range(GetParam().addr, GetParam().size), GetParam().aligned);
}

INSTANTIATE_TEST_SUITE_P(Table, PageAlignment,
                         ::testing::Values(AlignCase{4096, 0x1000, 4096, {0x1000, 4096}},
                                           AlignCase{4096, 0x1FFF, 2, {0x1000, 8192}},
                                           AlignCase{4096, 0x1001, 4095, {0x1000, 4096}},
                                           AlignCase{4096, 0x1001, 4096, {0x1000, 8192}},
                                           AlignCase{4096, 0x1234, 0, {0x1000, 4096}},
                                           AlignCase{4096, 0x1000, 0, {0x1000, 0}},
                                           AlignCase{16384, 0x1234, 10, {0x0, 16384}}));

TEST_F(FakePlatformTest, PlatformGetsWidenedRangeLogShowsCallersRange) {
    auto hv = handler("linux");
    logs.clear();
    EXPECT_TRUE(hv->_lock_memory_at(0x1010, 100));
    EXPECT_TRUE(hv->_unlock_memory_at(0xABCDEF10, 16));
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x1000, 4096}));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0xABCDE000, 4096}));
    EXPECT_THAT(logs.lines(),
                ElementsAre("Memory locked: 100 bytes at 0x1010", "Memory unlocked: 16 bytes at 0xabcdef10"));
}

struct RefusalCase {
    std::string platform;
    int error;
    std::string line;
};

class LockRefused : public FakePlatformTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LockRefused, LogsTheLineForItsErrorCode) {
    fake().lock_result = -1;
    fake().error_code = GetParam().error;
    auto hv = handler(GetParam().platform);
    logs.clear();
    EXPECT_FALSE(hv->_lock_memory_at(0x1000, 10));
    ASSERT_EQ(logs.records().size(), 1u);
    EXPECT_EQ(logs.records()[0].text, GetParam().line);
    EXPECT_EQ(logs.records()[0].level, spdlog::level::debug);
}

INSTANTIATE_TEST_SUITE_P(
    ErrorCodes, LockRefused,
    ::testing::Values(RefusalCase{"linux", 1, "mlock permission denied. Grant CAP_IPC_LOCK or increase ulimit -l"},
                      RefusalCase{"linux", 12, "mlock failed: insufficient memory or limit exceeded"},
                      RefusalCase{"linux", 13, "mlock failed with errno 13"},
                      // Darwin's EAGAIN (35) is its wiring limit; Linux's (11) is no limit.
                      RefusalCase{"darwin", 35, "mlock failed: insufficient memory or limit exceeded"},
                      RefusalCase{"linux", 35, "mlock failed with errno 35"},
                      RefusalCase{"darwin", 11, "mlock failed with errno 11"},
                      RefusalCase{"win32", 1453, "VirtualLock failed with error 1453"}));

TEST_F(FakePlatformTest, RefusedUnlockIsSilentRaisingCallsAreLogged) {
    fake().unlock_result = -1;
    fake().error_code = 1;
    auto hv = handler("linux");
    logs.clear();
    EXPECT_FALSE(hv->_unlock_memory_at(0x1000, 10));
    EXPECT_EQ(fake().unlocks.size(), 1u);
    EXPECT_THAT(logs.lines(), IsEmpty());

    fake().calls_throw = true;
    EXPECT_FALSE(hv->_lock_memory_at(0x1000, 10));
    EXPECT_FALSE(hv->_unlock_memory_at(0x1000, 10));
    EXPECT_THAT(logs.lines(),
                ElementsAre("Memory lock failed: platform call broke", "Memory unlock failed: platform call broke"));
}

TEST_F(FakePlatformTest, DisabledAndFallbackHandlersNeverCallThePlatform) {
    auto disabled = handler("linux", false);
    loader->unloadable = {"libc.so.6"};
    auto fallback = handler("linux");
    std::vector<std::uint8_t> bytes(4, 0x11);
    logs.clear();
    for (auto* hv : {fallback.get(), disabled.get()}) {
        EXPECT_FALSE(hv->_lock_memory_at(0x1000, 10));
        EXPECT_FALSE(hv->_unlock_memory_at(0x1000, 10));
    }
    disabled->_zero_memory_at(address_of(bytes.data()), bytes.size());
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(4, 0x11));
    EXPECT_THAT(logs.lines(), IsEmpty());
    EXPECT_TRUE(fake().locks.empty() && fake().unlocks.empty());
}

TEST_F(FakePlatformTest, ZeroingCoversExactlyTheRangeAndSurvivesARaisingBackend) {
    auto hv = handler("linux");
    std::vector<std::uint8_t> bytes(32, 0xEE);
    const auto addr = address_of(bytes.data() + 8);
    logs.clear();
    hv->_zero_memory_at(addr, 16);
    hv->_zero_memory_at(addr, 0);
    EXPECT_THAT(fake().zeroes, ElementsAre(Range{addr, 16}));
    EXPECT_TRUE(all_zero(std::span(bytes).subspan(8, 16)));
    EXPECT_EQ(bytes[7], 0xEE);
    EXPECT_EQ(bytes[24], 0xEE);
    EXPECT_THAT(logs.lines(), ElementsAre(fmt::format("Memory zeroed (native): 16 bytes at 0x{:x}", addr)));

    for (const char* platform : {"linux", "win32"}) {
        fake().zero_throws = true;
        bytes.assign(40, 0xC3);
        auto raising = handler(platform);
        logs.clear();
        raising->_zero_memory_at(address_of(bytes.data()), bytes.size());
        EXPECT_TRUE(all_zero(bytes)) << platform;
        EXPECT_THAT(logs.lines(), ElementsAre("Memory zeroing failed: native zeroing broke")) << platform;
        EXPECT_EQ(logs.records()[0].level, spdlog::level::warn);
    }
}

}  // namespace
}  // namespace hvtest
