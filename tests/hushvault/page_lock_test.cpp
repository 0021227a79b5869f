// Page locks nest: ranges that share pages hand the platform a lock only for
// a page's first holder and an unlock only for its last one.
#include "detail/process_state.hpp"
#include "fake_platform.hpp"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

TEST_F(FakePlatformTest, SharedPageIsLockedOnceAndUnlockedByItsLastHolder) {
    auto hv = handler("linux");
    logs.clear();
    ASSERT_TRUE(hv->_lock_memory_at(0x1010, 100));
    ASSERT_TRUE(hv->_lock_memory_at(0x1100, 100));
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x1000, 4096}));

    EXPECT_TRUE(hv->_unlock_memory_at(0x1010, 100));
    EXPECT_THAT(fake().unlocks, IsEmpty()) << "the page still holds the second range";
    EXPECT_TRUE(hv->_unlock_memory_at(0x1100, 100));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x1000, 4096}));
    // The log describes each caller's range, whether or not the platform was called.
    EXPECT_THAT(logs.lines(), ElementsAre("Memory locked: 100 bytes at 0x1010", "Memory locked: 100 bytes at 0x1100",
                                          "Memory unlocked: 100 bytes at 0x1010",
                                          "Memory unlocked: 100 bytes at 0x1100"));
}

TEST_F(FakePlatformTest, OverlappingRangesHandThePlatformOnlyTheirUnheldRuns) {
    auto hv = handler("linux");
    ASSERT_TRUE(hv->_lock_memory_at(0x2F00, 0x200));  // pages 0x2000, 0x3000
    ASSERT_TRUE(hv->_lock_memory_at(0x1F00, 0x200));  // pages 0x1000, 0x2000
    ASSERT_TRUE(hv->_lock_memory_at(0x0F00, 0x3100));  // pages 0x0000 .. 0x3000
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x2000, 8192}, Range{0x1000, 4096}, Range{0x0, 4096}));
    EXPECT_EQ(loader->page_locks().holders(0x2000), 3u);

    EXPECT_TRUE(hv->_unlock_memory_at(0x1F00, 0x200));
    EXPECT_THAT(fake().unlocks, IsEmpty());
    EXPECT_TRUE(hv->_unlock_memory_at(0x0F00, 0x3100));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x0, 8192}));
    EXPECT_TRUE(hv->_unlock_memory_at(0x2F00, 0x200));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x0, 8192}, Range{0x2000, 8192}));
    for (std::uintptr_t page = 0; page <= 0x3000; page += 0x1000) EXPECT_EQ(loader->page_locks().holders(page), 0u);
}

TEST_F(FakePlatformTest, RefusedRunUndoesTheRunsLockedBeforeIt) {
    auto hv = handler("linux");
    ASSERT_TRUE(hv->_lock_memory_at(0x2000, 16));
    fake().refuse_lock_at = 0x3000;
    fake().error_code = 12;
    logs.clear();
    EXPECT_FALSE(hv->_lock_memory_at(0x1000, 0x3000));  // runs 0x1000 and 0x3000 around the held page
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x2000, 4096}, Range{0x1000, 4096}, Range{0x3000, 4096}));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x1000, 4096}));
    EXPECT_THAT(logs.lines(), ElementsAre("mlock failed: insufficient memory or limit exceeded"));
    EXPECT_EQ(loader->page_locks().holders(0x1000), 0u);
    EXPECT_EQ(loader->page_locks().holders(0x2000), 1u);

    // A refused unlock changes no count: the page's holder can try again.
    fake().unlock_result = -1;
    EXPECT_FALSE(hv->_unlock_memory_at(0x2000, 16));
    EXPECT_EQ(loader->page_locks().holders(0x2000), 1u);
    fake().unlock_result = 0;
    EXPECT_TRUE(hv->_unlock_memory_at(0x2000, 16));
    EXPECT_EQ(loader->page_locks().holders(0x2000), 0u);
}

TEST_F(FakePlatformTest, HandlersOfOneLoaderShareTheCounts) {
    // The process-wide handler may be replaced while buffers of the old one
    // are still open; both see the same pages.
    auto old_handler = handler("linux");
    auto new_handler = handler("linux");
    ASSERT_TRUE(old_handler->_lock_memory_at(0x5010, 8));
    ASSERT_TRUE(new_handler->_lock_memory_at(0x5020, 8));
    EXPECT_TRUE(old_handler->_unlock_memory_at(0x5010, 8));
    EXPECT_THAT(fake().unlocks, IsEmpty());
    EXPECT_TRUE(new_handler->_unlock_memory_at(0x5020, 8));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x5000, 4096}));
}

TEST_F(FakePlatformTest, GuardSaysWhenItsUnlockWasRefused) {
    ossara::detail::set_secure_memory_for_tests(handler("linux"));
    {
        ossara::secure_bytearray guard(std::string_view("pin"));
        fake().unlock_result = -1;
        logs.clear();
    }
    ossara::detail::set_secure_memory_for_tests(nullptr);
    EXPECT_THAT(logs.lines(), ElementsAre(::testing::StartsWith("Memory zeroed (native): 3 bytes"),
                                          "Memory zeroed: 3 bytes", "Memory unlock refused: 3 bytes stay locked"));
    EXPECT_EQ(logs.records().back().level, spdlog::level::debug);
}

}  // namespace
}  // namespace hvtest
