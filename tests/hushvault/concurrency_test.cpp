// The process-wide handler under concurrent first use and concurrent switching.
#include "detail/process_state.hpp"
#include "real_pages.hpp"
#include "support/joining_thread.hpp"
#include "support/log_capture.hpp"

#include <ossara/Hushvault.hpp>

#include <gtest/gtest.h>

#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <latch>
#include <random>
#include <span>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

namespace hvtest {
namespace {

// Stalls while a handler is being set up (its set-up line is written during
// construction), so that every racing thread reaches the creation path.
class StallingSink final : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (std::string_view(msg.payload.data(), msg.payload.size()).ends_with("initialized (mlock + memset)"))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    void flush_() override {}
};

TEST(ProcessHandlerThreads, RacingFirstUseCreatesOneHandler) {
    ossara::detail::set_secure_memory_for_tests(nullptr);
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    spdlog::get("ossara.Hushvault")->sinks().push_back(std::make_shared<StallingSink>());
    constexpr int kThreads = 16;
    std::vector<std::shared_ptr<ossara::Hushvault>> seen(kThreads);
    std::latch start(kThreads);
    {
        std::vector<ossara::testing::JoiningThread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                seen[i] = ossara::_get_secure_memory();
            });
    }
    for (const auto& handler : seen) EXPECT_EQ(handler.get(), seen.front().get());
    const auto lines = logs.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.starts_with("Secure memory capabilities"); }),
              1);
}

TEST(ProcessHandlerThreads, GuardsKeepTheirHandlerWhileOthersSwitch) {
    ossara::detail::set_secure_memory_for_tests(nullptr);
    ossara::testing::LogCapture logs{"ossara.Hushvault"};  // keeps stderr quiet
    constexpr int kRounds = 200;
    std::atomic<int> failures{0};
    {
        ossara::testing::JoiningThread switcher([&] {
            for (int i = 0; i < kRounds; ++i) (i % 2 == 0) ? ossara::disable_secure_memory() : ossara::enable_secure_memory();
        });
        std::vector<ossara::testing::JoiningThread> users;
        for (int t = 0; t < 3; ++t)
            users.emplace_back([&] {
                for (int i = 0; i < kRounds; ++i) {
                    std::vector<std::uint8_t> secret(32, 0x5C);
                    ossara::secure_bytearray guard(secret, i % 2 == 0);
                    const auto handler = guard->secure_memory();
                    const bool wiped = std::all_of(secret.begin(), secret.end(), [](auto b) { return b == 0; });
                    const bool copied = guard->to_bytes() == std::vector<std::uint8_t>(32, 0x5C);
                    std::this_thread::yield();
                    if (!wiped || !copied || guard->secure_memory() != handler) ++failures;
                }
            });
    }
    EXPECT_EQ(failures.load(), 0);
    ossara::enable_secure_memory();
}

TEST(ProcessHandlerThreads, ThreadsSharingPagesLeaveExactlyWhatTheyHold) {
    ossara::testing::LogCapture logs{"ossara.Hushvault"};  // keeps stderr quiet
    auto hv = std::make_shared<ossara::Hushvault>();
    if (!hv->has_mlock()) GTEST_SKIP() << "no page locking here";
    const std::size_t page = hv->page_size();
    AlignedPages region(2, page);
    const long baseline = *locked_kb();
    // Four threads, each with its own range; neighbouring ranges share a page.
    constexpr int kThreads = 4, kRounds = 300;
    std::atomic<int> refused{0};
    std::latch start(kThreads);
    {
        std::vector<ossara::testing::JoiningThread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                const std::span<std::uint8_t> mine(region.data() + page / 2 + static_cast<std::size_t>(t) * page / 4,
                                                   page / 4);
                start.arrive_and_wait();
                for (int i = 0; i < kRounds; ++i) {
                    if (!hv->lock_memory(mine)) {
                        ++refused;
                        continue;
                    }
                    std::this_thread::yield();
                    if (!hv->unlock_memory(mine)) ++refused;
                }
            });
        // One long holder across both pages stays locked throughout.
        const std::span<std::uint8_t> whole(region.data(), 2 * page);
        if (hv->lock_memory(whole)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_EQ(*locked_kb() - baseline, static_cast<long>(2 * page / 1024));
            hv->unlock_memory(whole);
        }
    }
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(*locked_kb(), baseline) << "a page was left locked";
}

// Four threads lock and unlock random, overlapping ranges of a few pages
// while one of them forks now and then. At each barrier the pages the kernel
// holds locked are exactly the pages of the ranges the threads hold, and
// every one of them is kept out of core dumps; each child locks and unlocks
// for real.
TEST(ProcessHandlerThreads, RandomOverlappingRangesWithForksKeepTheKernelsPagesExact) {
#if !defined(__linux__)
    GTEST_SKIP() << "each page's lock flags are read from /proc/self/smaps";
#endif
    const QuietLog quiet;  // a child must not wait for a log sink another thread held
    auto hv = std::make_shared<ossara::Hushvault>();
    if (!hv->has_mlock()) GTEST_SKIP() << "no page locking here";
    const std::size_t page = hv->page_size();
    constexpr std::size_t kPages = 16;
    constexpr int kThreads = 4, kRounds = 30;
    AlignedPages region(kPages, page);
    const long baseline = *locked_kb();
    std::array<std::vector<std::span<std::uint8_t>>, kThreads> held;
    std::vector<std::string> mismatches;
    std::atomic<int> refused{0}, bad_children{0};

    const auto check = [&]() noexcept {
        std::vector<bool> expected(kPages, false);
        for (const auto& ranges : held)
            for (const auto range : ranges) {
                const auto [first, size] = hv->_get_page_aligned_range(reinterpret_cast<std::uintptr_t>(range.data()),
                                                                       range.size());
                for (std::uintptr_t p = first; p < first + size; p += page) expected[(p - region.address()) / page] = true;
            }
        const auto flags = page_flags(region.address(), kPages, page);
        for (std::size_t i = 0; i < kPages; ++i) {
            const bool dd_missing = expected[i] && hv->excludes_from_core_dumps() && !has_flag(flags[i], "dd");
            if (has_flag(flags[i], "lo") != expected[i] || dd_missing)
                mismatches.push_back("page " + std::to_string(i) + (expected[i] ? " held: " : " free: ") + flags[i]);
        }
        const long locked = std::count(expected.begin(), expected.end(), true);
        if (*locked_kb() - baseline != locked * static_cast<long>(page / 1024))
            mismatches.push_back("VmLck " + std::to_string(*locked_kb() - baseline) + " kB over the baseline");
    };
    std::barrier round_end(kThreads, check);
    {
        std::vector<ossara::testing::JoiningThread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1u);
                auto& mine = held[static_cast<std::size_t>(t)];
                const auto pick = [&](std::size_t limit) { return std::uniform_int_distribution<std::size_t>(0, limit)(random); };
                for (int round = 0; round < kRounds; ++round) {
                    for (std::size_t i = mine.size(); i-- > 0;) {
                        if (pick(1) == 0) continue;
                        if (!hv->unlock_memory(mine[i])) ++refused;
                        mine.erase(mine.begin() + static_cast<std::ptrdiff_t>(i));
                    }
                    for (std::size_t n = pick(2); n > 0; --n) {
                        const std::size_t offset = pick(kPages * page - 3 * page - 1);
                        const std::span<std::uint8_t> range(region.data() + offset, 1 + pick(3 * page - 1));
                        if (hv->lock_memory(range)) {
                            mine.push_back(range);
                        } else {
                            ++refused;
                        }
                    }
                    if (t == 0 && round % 3 == 0) {
                        // Forks while the other threads are inside their locks and unlocks.
                        const auto outcome = run_in_child(
                            [&] {
                                const long start = *locked_kb();
                                const std::span<std::uint8_t> range(region.data() + pick(kPages * page / 2), 2 * page);
                                if (!hv->lock_memory(range) || *locked_kb() <= start) return 1;
                                return hv->unlock_memory(range) && *locked_kb() == start ? 0 : 2;
                            },
                            std::chrono::seconds(5));
                        if (!outcome || *outcome != 0) ++bad_children;
                    }
                    round_end.arrive_and_wait();
                }
                for (const auto range : mine)
                    if (!hv->unlock_memory(range)) ++refused;
            });
    }
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(bad_children.load(), 0) << "children that hung or found no lock";
    EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " mismatches, first: " << mismatches.front();
    EXPECT_EQ(*locked_kb(), baseline) << "a page was left locked";
}

}  // namespace
}  // namespace hvtest
