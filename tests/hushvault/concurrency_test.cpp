// The process-wide handler under concurrent first use and concurrent switching.
#include "detail/process_state.hpp"
#include "real_pages.hpp"
#include "support/log_capture.hpp"

#include <ossara/Hushvault.hpp>

#include <gtest/gtest.h>

#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
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
        std::vector<std::jthread> threads;
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
        std::jthread switcher([&] {
            for (int i = 0; i < kRounds; ++i) (i % 2 == 0) ? ossara::disable_secure_memory() : ossara::enable_secure_memory();
        });
        std::vector<std::jthread> users;
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
    const long baseline = *vm_locked_kb();
    // Four threads, each with its own range; neighbouring ranges share a page.
    constexpr int kThreads = 4, kRounds = 300;
    std::atomic<int> refused{0};
    std::latch start(kThreads);
    {
        std::vector<std::jthread> threads;
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
            EXPECT_EQ(*vm_locked_kb() - baseline, static_cast<long>(2 * page / 1024));
            hv->unlock_memory(whole);
        }
    }
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(*vm_locked_kb(), baseline) << "a page was left locked";
}

}  // namespace
}  // namespace hvtest
