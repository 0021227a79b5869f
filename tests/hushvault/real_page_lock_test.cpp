// Nested page locks against the real kernel: VmLck counts exactly the pages
// of the open secrets, locked pages are kept out of core dumps, and a thread
// cancelled in the middle of a log write leaves nothing locked.
#include "detail/unwinding.hpp"
#include "real_pages.hpp"
#include "support/bytes.hpp"
#include "support/joining_thread.hpp"
#include "support/log_capture.hpp"

#include <ossara/Hushvault.hpp>

#include <gtest/gtest.h>
#include <pthread.h>
#include <spdlog/sinks/base_sink.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace hvtest {
namespace {

using ossara::testing::all_zero;

class RealPages : public ::testing::Test {
protected:
    void SetUp() override {
        hv = std::make_shared<ossara::Hushvault>();
        if (!hv->has_mlock()) GTEST_SKIP() << "no page locking here";
        probe.emplace(1, hv->page_size());
        const std::span<std::uint8_t> page(probe->data(), 1);
        if (!hv->lock_memory(page)) GTEST_SKIP() << "mlock refused here (RLIMIT_MEMLOCK too small)";
        hv->unlock_memory(page);
        baseline = *locked_kb();
    }
    // VmLck over the baseline, in pages.
    long locked_pages() const { return (*locked_kb() - baseline) * 1024 / static_cast<long>(hv->page_size()); }

    std::shared_ptr<ossara::Hushvault> hv;
    std::optional<AlignedPages> probe;
    long baseline = 0;
    ossara::testing::LogCapture logs{"ossara.Hushvault"};  // keeps stderr quiet
};

TEST_F(RealPages, SharedPagesInEveryOrderKeepVmLckExact) {
    const std::size_t page = hv->page_size();
    AlignedPages region(3, page);
    // Three ranges over three pages: A on page 0, B across pages 0 and 1,
    // C across pages 1 and 2.
    const std::array<std::span<std::uint8_t>, 3> ranges{
        std::span(region.data(), 100), std::span(region.data() + page - 100, 200),
        std::span(region.data() + 2 * page - 50, 100)};
    const std::array<std::set<std::size_t>, 3> pages_of{{{0}, {0, 1}, {1, 2}}};
    const auto expected = [&](const std::vector<int>& held) {
        std::set<std::size_t> pages;
        for (const int r : held) pages.insert(pages_of[r].begin(), pages_of[r].end());
        return static_cast<long>(pages.size());
    };

    std::array<int, 3> lock_order{0, 1, 2};
    do {
        std::array<int, 3> unlock_order{0, 1, 2};
        do {
            std::vector<int> held;
            for (const int r : lock_order) {
                ASSERT_TRUE(hv->lock_memory(ranges[r]));
                held.push_back(r);
                ASSERT_EQ(locked_pages(), expected(held));
            }
            for (const int r : unlock_order) {
                ASSERT_TRUE(hv->unlock_memory(ranges[r]));
                held.erase(std::find(held.begin(), held.end(), r));
                ASSERT_EQ(locked_pages(), expected(held))
                    << "after unlocking range " << r << " (locked " << lock_order[0] << lock_order[1] << lock_order[2]
                    << ", unlocking " << unlock_order[0] << unlock_order[1] << unlock_order[2] << ")";
            }
        } while (std::next_permutation(unlock_order.begin(), unlock_order.end()));
    } while (std::next_permutation(lock_order.begin(), lock_order.end()));
}

TEST_F(RealPages, ManySmallBuffersDestroyedInAnyOrderLeaveNothingLocked) {
    // Small heap blocks sit side by side: most of these share pages.
    constexpr int kBuffers = 64;
    std::vector<std::unique_ptr<ossara::SecureBuffer>> buffers;
    for (int i = 0; i < kBuffers; ++i) {
        buffers.push_back(std::make_unique<ossara::SecureBuffer>(std::string_view("a secret of some bytes"), hv));
        ASSERT_TRUE(buffers.back()->lock());
    }
    const auto pages_held = [&] {
        std::set<std::uintptr_t> pages;
        for (const auto& b : buffers) {
            const auto [first, size] = hv->_get_page_aligned_range(b->address(), b->size());
            for (std::uintptr_t p = first; p < first + size; p += hv->page_size()) pages.insert(p);
        }
        return static_cast<long>(pages.size());
    };
    EXPECT_EQ(locked_pages(), pages_held());
    std::shuffle(buffers.begin(), buffers.end(), std::mt19937(13));
    while (!buffers.empty()) {
        // Every other buffer is unlocked first; the rest count their destruction as their unlock.
        if (buffers.size() % 2 == 0) {
            ASSERT_TRUE(buffers.back()->unlock());
        }
        buffers.pop_back();
        ASSERT_EQ(locked_pages(), pages_held()) << buffers.size() << " buffers left";
    }
}

#if defined(__linux__)  // core dump exclusion (MADV_DONTDUMP) and the VmFlags that show it
TEST_F(RealPages, LockedPagesAreKeptOutOfCoreDumpsAndNeverLetBackIn) {
    if (!hv->excludes_from_core_dumps()) GTEST_SKIP() << "no core dump exclusion on this platform";
    EXPECT_EQ(hv->get_protection_info()["excludes_from_core_dumps"], true);
    const std::size_t page = hv->page_size();
    AlignedPages region(3, page);
    const std::span<std::uint8_t> first(region.data() + 10, 20), second(region.data() + 40, 20);
    ASSERT_TRUE(hv->lock_memory(first));
    ASSERT_TRUE(hv->lock_memory(second));
    std::string flags = vm_flags_at(region.address());
    EXPECT_TRUE(has_flag(flags, "lo") && has_flag(flags, "dd")) << flags;
    EXPECT_FALSE(has_flag(vm_flags_at(region.address() + page), "dd")) << "only the locked page is excluded";

    ASSERT_TRUE(hv->unlock_memory(first));
    flags = vm_flags_at(region.address());
    EXPECT_TRUE(has_flag(flags, "lo") && has_flag(flags, "dd")) << "still held by the second range: " << flags;
    ASSERT_TRUE(hv->unlock_memory(second));
    flags = vm_flags_at(region.address());
    EXPECT_TRUE(!has_flag(flags, "lo") && has_flag(flags, "dd")) << flags;

    // A page the application excluded itself keeps its exclusion through a lock and unlock.
    const std::uintptr_t own = region.address() + 2 * page;
    ASSERT_EQ(::madvise(reinterpret_cast<void*>(own), page, MADV_DONTDUMP), 0);
    const std::span<std::uint8_t> inside(region.data() + 2 * page + 100, 50);
    ASSERT_TRUE(hv->lock_memory(inside));
    ASSERT_TRUE(hv->unlock_memory(inside));
    flags = vm_flags_at(own);
    EXPECT_TRUE(!has_flag(flags, "lo") && has_flag(flags, "dd")) << "the application's exclusion was undone: " << flags;
}
#endif

TEST_F(RealPages, UnlockingARangeNeverLockedLeavesTheLocksOfOthers) {
    const std::size_t page = hv->page_size();
    AlignedPages region(2, page);
    const std::span<std::uint8_t> held(region.data() + 100, 50), stranger(region.data() + 1000, 50),
        spanning(region.data() + page - 8, 16);
    ASSERT_TRUE(hv->lock_memory(held));
    EXPECT_TRUE(hv->unlock_memory(stranger));
    EXPECT_EQ(locked_pages(), 1) << "a range never locked took away the lock of another";
    EXPECT_TRUE(hv->unlock_memory(spanning));  // reaches only the page that nobody holds
    EXPECT_EQ(locked_pages(), 1);
    ASSERT_TRUE(hv->unlock_memory(held));
    EXPECT_EQ(locked_pages(), 0);
}

TEST_F(RealPages, MemoryUnmappedWhileLockedIsLockedForRealWhenMappedAgain) {
    const std::size_t page = hv->page_size();
    void* first = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(first, MAP_FAILED);
    const std::span<std::uint8_t> bytes(static_cast<std::uint8_t*>(first), 64);
    ASSERT_TRUE(hv->lock_memory(bytes));
    ASSERT_EQ(locked_pages(), 1);
    // Released without an unlock (lock, zero, free): the kernel drops the lock.
    ASSERT_EQ(::munmap(first, page), 0);
    ASSERT_EQ(locked_pages(), 0);
    void* again = ::mmap(first, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(again, first) << "the address was taken meanwhile";
    logs.clear();
    EXPECT_TRUE(hv->lock_memory(bytes));
    EXPECT_EQ(locked_pages(), 1) << "reported locked while the kernel holds no lock";
    // Both holds are given back before the page goes.
    EXPECT_TRUE(hv->unlock_memory(bytes));
    EXPECT_TRUE(hv->unlock_memory(bytes));
    EXPECT_EQ(locked_pages(), 0);
    ::munmap(again, page);
}

TEST_F(RealPages, AbsurdRangeIsRefusedAtTheSpeedOfThePlatform) {
    const QuietLog quiet;
    // The end wraps around the address space; the platform refuses it at once.
    const auto outcome = run_in_child([&] { return hv->_lock_memory_at(0x2000, 0xffffffffffffefffULL) ? 1 : 0; },
                                      std::chrono::seconds(1));
    ASSERT_TRUE(outcome.has_value()) << "still busy after 1 s";
    EXPECT_EQ(*outcome, 0);
}

// Forked children inherit the page-lock records but no page lock.
class ForkedChildren : public RealPages {
protected:
    void SetUp() override {
        RealPages::SetUp();
        quiet.emplace();
    }
    std::optional<QuietLog> quiet;  // a child must not wait for a log sink another thread held
};

TEST_F(ForkedChildren, ChildLocksForRealOnPagesItsParentHolds) {
    const std::size_t page = hv->page_size();
    AlignedPages region(1, page);
    ASSERT_TRUE(hv->lock_memory(std::span(region.data(), 32)));
    const auto outcome = run_in_child(
        [&] {
            // The child's VmLck starts at 0: no lock crosses a fork.
            const long start = *locked_kb();
            if (!hv->lock_memory(std::span(region.data() + 64, 32))) return 2;
            if (*locked_kb() - start != static_cast<long>(page / 1024)) return 3;
            if (!hv->unlock_memory(std::span(region.data() + 64, 32))) return 4;
            return *locked_kb() == start ? 0 : 5;
        },
        std::chrono::seconds(5));
    ASSERT_TRUE(outcome.has_value()) << "the child hung";
    EXPECT_EQ(*outcome, 0);
    EXPECT_TRUE(hv->unlock_memory(std::span(region.data(), 32)));
    EXPECT_EQ(locked_pages(), 0);
}

TEST_F(ForkedChildren, ForkWhileAnotherThreadLocksLeavesNoChildWaiting) {
    const std::size_t page = hv->page_size();
    constexpr std::size_t kBusyPages = 2048;  // 8 MiB: long enough inside the records to be caught by a fork
    AlignedPages busy(kBusyPages, page), own(1, page);
    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    ossara::testing::JoiningThread cycler([&] {
        const std::span<std::uint8_t> range(busy.data(), kBusyPages * page);
        while (!stop) {
            if (hv->lock_memory(range)) hv->unlock_memory(range);
            ++cycles;
        }
    });
    while (cycles == 0) std::this_thread::yield();
    int hung = 0, failed = 0;
    for (int child = 0; child < 20; ++child) {
        const auto outcome = run_in_child(
            [&] {
                const std::span<std::uint8_t> mine(own.data(), 16);
                return hv->lock_memory(mine) && hv->unlock_memory(mine) ? 0 : 1;
            },
            std::chrono::seconds(2));
        if (!outcome) {
            ++hung;
            break;  // one is enough to fail
        } else if (*outcome != 0) {
            ++failed;
        }
    }
    stop = true;
    cycler.join();
    EXPECT_EQ(hung, 0) << "children stuck on the records' lock";
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(locked_pages(), 0);
}

// Parks the writing thread inside the first range-level "Memory locked" line
// (in a cancellation point) until it is cancelled or released.
class ParkingSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::atomic<bool> parked{false};
    std::atomic<bool> released{false};

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        const std::string_view text(msg.payload.data(), msg.payload.size());
        if (!text.starts_with("Memory locked: ") || text.find(" at 0x") == std::string_view::npos) return;
        if (parked.exchange(true)) return;
        while (!released) ::usleep(1000);
    }
    void flush_() override {}
};

struct CancelledGuard {
    std::vector<std::uint8_t>* secret;
    std::uintptr_t copy_address = 0;
};

void* enter_guard(void* argument) {
    auto* state = static_cast<CancelledGuard*>(argument);
    {
        ossara::secure_bytearray guard(*state->secret);
        state->copy_address = guard->address();  // reached only where the guard holds off cancellation
    }
    ::pthread_testcancel();
    return nullptr;
}

TEST_F(RealPages, ThreadCancelledInsideALogWriteUnwindsAndUnlocks) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers do not follow the forced unwinding of a cancelled thread
    // (AddressSanitizer trips over the stack the unwinding left behind).
    GTEST_SKIP() << "thread cancellation is not supported under the sanitizers";
#endif
    ossara::enable_secure_memory();
    auto parking = std::make_shared<ParkingSink>();
    spdlog::get("ossara.Hushvault")->sinks().push_back(parking);
    std::vector<std::uint8_t> secret(48, 0xC5);
    CancelledGuard state{&secret};
    pthread_t thread;
    ASSERT_EQ(::pthread_create(&thread, nullptr, &enter_guard, &state), 0);
    for (int i = 0; i < 5000 && !parking->parked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(parking->parked) << "the guard never logged its lock";
    ASSERT_EQ(::pthread_cancel(thread), 0);
    // Where cancellation unwinds, the thread is unwinding by now; where the
    // guard holds it off, the thread goes on and is cancelled after the guard.
    parking->released = true;
    void* result = nullptr;
    ASSERT_EQ(::pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(state.copy_address == 0, ossara::detail::kCancellationUnwinds);
    EXPECT_TRUE(all_zero(secret));
    EXPECT_EQ(locked_pages(), 0) << "the cancelled guard's pages are still locked";
    const auto lines = logs.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Memory zeroed: 48 bytes"), lines.end());
}

}  // namespace
}  // namespace hvtest
