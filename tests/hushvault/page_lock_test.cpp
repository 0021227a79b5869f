// Page locks nest: every lock reaches the platform, and an unlock hands it
// only the pages that no other locked range holds.
#include "detail/process_state.hpp"
#include "fake_platform.hpp"
#include "real_pages.hpp"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

TEST_F(FakePlatformTest, EveryLockAsksThePlatformTheLastHolderUnlocks) {
    auto hv = handler("linux");
    logs.clear();
    ASSERT_TRUE(hv->_lock_memory_at(0x1010, 100));
    ASSERT_TRUE(hv->_lock_memory_at(0x1100, 100));
    // The platform's lock is idempotent; asking it every time is what makes "locked" true.
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x1000, 4096}, Range{0x1000, 4096}));

    EXPECT_TRUE(hv->_unlock_memory_at(0x1010, 100));
    EXPECT_THAT(fake().unlocks, IsEmpty()) << "the page still holds the second range";
    EXPECT_TRUE(hv->_unlock_memory_at(0x1100, 100));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x1000, 4096}));
    // The log describes each caller's range, whether or not the platform was called.
    EXPECT_THAT(logs.lines(), ElementsAre("Memory locked: 100 bytes at 0x1010", "Memory locked: 100 bytes at 0x1100",
                                          "Memory unlocked: 100 bytes at 0x1010",
                                          "Memory unlocked: 100 bytes at 0x1100"));
}

TEST_F(FakePlatformTest, RangeNeverLockedUnlocksOnlyPagesNobodyHolds) {
    auto hv = handler("linux");
    ASSERT_TRUE(hv->_lock_memory_at(0x1010, 100));
    EXPECT_TRUE(hv->_unlock_memory_at(0x1800, 16));  // the same page, never locked
    EXPECT_THAT(fake().unlocks, IsEmpty());
    EXPECT_TRUE(hv->_unlock_memory_at(0x1800, 0x1000));  // pages 0x1000 (held) and 0x2000
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x2000, 4096}));
    EXPECT_EQ(loader->page_locks().holders(0x1000), 1u);
    // A refused unlock of such pages changes nothing recorded.
    fake().unlock_result = -1;
    EXPECT_FALSE(hv->_unlock_memory_at(0x1800, 0x1000));
    fake().unlock_result = 0;
    EXPECT_TRUE(hv->_unlock_memory_at(0x1010, 100));
    EXPECT_THAT(fake().unlocks.back(), (Range{0x1000, 4096}));
    EXPECT_EQ(loader->page_locks().records(), (std::pair<std::size_t, std::size_t>{0, 0}));
}

#if !defined(_WIN32)  // bounded in time by a forked child
TEST_F(FakePlatformTest, HugeRangesCostRecordsNotPages) {
    auto hv = handler("linux");
    const auto outcome = run_in_child(
        [&] {
            constexpr std::uintptr_t kBase = 0x100000000;
            constexpr std::size_t kHuge = std::size_t{64} << 30;  // 16 Mi pages of 4 KiB
            if (!hv->_lock_memory_at(kBase, kHuge) || !hv->_lock_memory_at(kBase + 0x10000, 0x100)) return 2;
            // Two ranges: three runs of pages (1, 2, 1 holders).
            if (loader->page_locks().records() != std::pair<std::size_t, std::size_t>{2, 3}) return 3;
            if (loader->page_locks().holders(kBase + kHuge - 4096) != 1) return 4;
            if (!hv->_unlock_memory_at(kBase, kHuge) || !hv->_unlock_memory_at(kBase + 0x10000, 0x100)) return 5;
            if (fake().unlocks.size() != 3) return 6;  // the pages around the small range, then its page
            // A range past the end of the address space goes to the platform as it is.
            fake().lock_result = -1;
            if (hv->_lock_memory_at(0x2000, 0xffffffffffffefffULL)) return 7;
            return loader->page_locks().records() == std::pair<std::size_t, std::size_t>{0, 0} ? 0 : 8;
        },
        std::chrono::seconds(1));
    ASSERT_TRUE(outcome.has_value()) << "still busy after 1 s";
    EXPECT_EQ(*outcome, 0);
}
#endif

TEST_F(FakePlatformTest, OverlappingRangesUnlockOnlyThePagesTheyHeldLast) {
    auto hv = handler("linux");
    ASSERT_TRUE(hv->_lock_memory_at(0x2F00, 0x200));  // pages 0x2000, 0x3000
    ASSERT_TRUE(hv->_lock_memory_at(0x1F00, 0x200));  // pages 0x1000, 0x2000
    ASSERT_TRUE(hv->_lock_memory_at(0x0F00, 0x3100));  // pages 0x0000 .. 0x3000
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x2000, 8192}, Range{0x1000, 8192}, Range{0x0, 16384}));
    EXPECT_EQ(loader->page_locks().holders(0x2000), 3u);

    EXPECT_TRUE(hv->_unlock_memory_at(0x1F00, 0x200));
    EXPECT_THAT(fake().unlocks, IsEmpty());
    EXPECT_TRUE(hv->_unlock_memory_at(0x0F00, 0x3100));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x0, 8192}));
    EXPECT_TRUE(hv->_unlock_memory_at(0x2F00, 0x200));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x0, 8192}, Range{0x2000, 8192}));
    for (std::uintptr_t page = 0; page <= 0x3000; page += 0x1000) EXPECT_EQ(loader->page_locks().holders(page), 0u);
}

TEST_F(FakePlatformTest, RefusedLockGivesBackOnlyPagesNobodyHolds) {
    auto hv = handler("linux");
    ASSERT_TRUE(hv->_lock_memory_at(0x2000, 16));
    fake().refuse_lock_at = 0x1000;
    fake().error_code = 12;
    logs.clear();
    // Refused, perhaps half way: the pages around the held one are unlocked again.
    EXPECT_FALSE(hv->_lock_memory_at(0x1000, 0x3000));
    EXPECT_THAT(fake().locks, ElementsAre(Range{0x2000, 4096}, Range{0x1000, 0x3000}));
    EXPECT_THAT(fake().unlocks, ElementsAre(Range{0x1000, 4096}, Range{0x3000, 4096}));
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

// The kernel's side: after every step a page is wired exactly while some
// range holds it, whether each lock is one wiring (Linux) or adds one that an
// unlock takes away (Darwin), and nothing stays wired at the end.
TEST_F(FakePlatformTest, PagesAreWiredExactlyWhileHeldOnEveryKernel) {
    struct Step {
        bool lock;
        std::uintptr_t addr;
        std::size_t size;
        bool refused = false;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } scenarios[] = {
        {"two ranges on one page", {{true, 0x1010, 100}, {true, 0x1100, 100}, {false, 0x1010, 100}, {false, 0x1100, 100}}},
        {"one range twice", {{true, 0x2010, 8}, {true, 0x2010, 8}, {false, 0x2010, 8}, {false, 0x2010, 8}}},
        {"overlapping ranges",
         {{true, 0x2F00, 0x200}, {true, 0x1F00, 0x200}, {true, 0x0F00, 0x3100}, {false, 0x1F00, 0x200},
          {false, 0x0F00, 0x3100}, {false, 0x2F00, 0x200}}},
        {"refused lock around a held page", {{true, 0x2000, 16}, {true, 0x1000, 0x3000, true}, {false, 0x2000, 16}}},
        {"unlock of a range never locked", {{true, 0x1010, 100}, {false, 0x1800, 16}, {false, 0x1010, 100}}},
    };
    for (const std::string platform : {"linux", "darwin"}) {
        for (const auto& scenario : scenarios) {
            SCOPED_TRACE(platform + ": " + scenario.name);
            fake() = FakePlatform{};
            const auto own_loader = std::make_shared<FakeLoader>();
            const ossara::Hushvault hv(platform, own_loader);
            for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
                const Step& step = scenario.steps[i];
                fake().refuse_lock_at = step.refused ? step.addr : 0;
                const bool done = step.lock ? hv._lock_memory_at(step.addr, step.size)
                                            : hv._unlock_memory_at(step.addr, step.size);
                EXPECT_EQ(done, !step.refused) << "step " << i;
                for (std::uintptr_t page = 0; page < 0x5000; page += 0x1000)
                    EXPECT_EQ(fake().wired.contains(page), own_loader->page_locks().holders(page) > 0)
                        << "step " << i << ", page 0x" << std::hex << page;
            }
            EXPECT_THAT(fake().wired, IsEmpty());
        }
    }
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
