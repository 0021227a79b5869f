// The process-wide handler, its switches, and the scoped secure buffers.
#include "detail/process_state.hpp"
#include "fake_platform.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

std::size_t count_prefix(const std::vector<std::string>& lines, std::string_view prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

bool all_zero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Every test starts from a module that has no process-wide handler yet.
class ProcessHandler : public FakePlatformTest {
protected:
    ProcessHandler() { ossara::detail::set_secure_memory_for_tests(nullptr); }
    ~ProcessHandler() override { ossara::detail::set_secure_memory_for_tests(nullptr); }
    // Runs the guards over a fake Linux handler, to see the platform calls.
    std::shared_ptr<ossara::Hushvault> install_fake() {
        auto hv = handler("linux");
        ossara::detail::set_secure_memory_for_tests(hv);
        logs.clear();
        return hv;
    }
};

TEST_F(ProcessHandler, FirstUseCreatesOneEnabledHandler) {
    auto first = ossara::_get_secure_memory();
    auto second = ossara::_get_secure_memory();
    EXPECT_EQ(first, second);
    EXPECT_TRUE(first->enabled());
    EXPECT_EQ(first->platform(), "linux");
    EXPECT_EQ(count_prefix(logs.lines(), "Secure memory capabilities"), 1u);
}

TEST_F(ProcessHandler, SwitchesReplaceTheHandler) {
    ossara::disable_secure_memory();
    EXPECT_THAT(logs.lines(), ElementsAre("Secure memory disabled by configuration",
                                          "Secure memory operations disabled globally"));
    EXPECT_FALSE(ossara::_get_secure_memory()->enabled());
    EXPECT_EQ(ossara::get_memory_protection_info().dump(),
              R"({"enabled":false,"platform":"linux","protection_level":"none","has_memory_locking":false,)"
              R"("has_secure_zeroing":false,"supports_full_protection":false,"page_size":4096})");

    logs.clear();
    ossara::enable_secure_memory();
    auto first = ossara::_get_secure_memory();
    ossara::enable_secure_memory();
    EXPECT_NE(ossara::_get_secure_memory(), first);
    EXPECT_EQ(count_prefix(logs.lines(), "Secure memory capabilities"), 2u);
    EXPECT_EQ(logs.lines().back(), "Secure memory operations re-enabled globally");
    EXPECT_EQ(ossara::get_memory_protection_info()["protection_level"], "full");
}

TEST_F(ProcessHandler, GuardWithoutLockOnlyZeroes) {
    auto hv = install_fake();
    std::vector<std::uint8_t> input(7, 0x61);
    {
        ossara::secure_bytearray guard(input, false);
        EXPECT_THAT(logs.lines(), IsEmpty());
        EXPECT_FALSE(guard.locked().has_value());
    }
    EXPECT_TRUE(fake().locks.empty() && fake().unlocks.empty());
    EXPECT_EQ(logs.lines().back(), "Memory zeroed: 7 bytes");
    EXPECT_EQ(count_prefix(logs.lines(), "Memory unlocked"), 0u);
}

TEST_F(ProcessHandler, GuardLocksThenZeroesAndUnlocksInOrder) {
    auto hv = install_fake();
    const std::string secret = "hunter2";
    std::uintptr_t addr = 0;
    {
        ossara::secure_bytearray guard(secret);
        addr = guard->address();
        fake().watch = {guard->data().data(), guard->size()};
        EXPECT_EQ(guard.locked(), std::optional<bool>(true));
        EXPECT_EQ(std::string(guard->data().begin(), guard->data().end()), secret);
    }
    EXPECT_EQ(secret, "hunter2");  // a byte string is never touched
    EXPECT_THAT(fake().watch_zero_at_unlock, ElementsAre(true));
    EXPECT_THAT(logs.lines(),
                ElementsAre(fmt::format("Memory locked: 7 bytes at 0x{:x}", addr), "Memory locked: 7 bytes",
                            fmt::format("Memory zeroed (native): 7 bytes at 0x{:x}", addr), "Memory zeroed: 7 bytes",
                            fmt::format("Memory unlocked: 7 bytes at 0x{:x}", addr), "Memory unlocked: 7 bytes"));
}

TEST_F(ProcessHandler, GuardOnDisabledHandlerReportsNoLockingButStillZeroes) {
    ossara::disable_secure_memory();
    logs.clear();
    std::vector<std::uint8_t> input(5, 0x7F);
    {
        ossara::secure_bytearray guard(input);
        EXPECT_TRUE(all_zero(input));  // wiped from the moment of entry
        EXPECT_EQ(guard->to_bytes(), std::vector<std::uint8_t>(5, 0x7F));
        EXPECT_EQ(guard.locked(), std::optional<bool>(false));
    }
    EXPECT_THAT(logs.lines(), ElementsAre("Memory locking not available for 5 bytes, using zeroing only",
                                          "Memory zeroed: 5 bytes", "Memory unlocked: 5 bytes"));
}

TEST_F(ProcessHandler, ErrorInsideGuardPassesThroughAfterCleanUp) {
    auto hv = install_fake();
    std::vector<std::uint8_t> input(9, 0x55);
    struct Boom {
        int code;
    };
    try {
        ossara::secure_bytearray guard(input);
        fake().watch = {guard->data().data(), guard->size()};
        throw Boom{42};
    } catch (const Boom& boom) {
        EXPECT_EQ(boom.code, 42);
    }
    EXPECT_TRUE(all_zero(input));
    ASSERT_EQ(fake().unlocks.size(), 1u);
    EXPECT_EQ(fake().unlocks[0], fake().locks.at(0));
    EXPECT_THAT(fake().watch_zero_at_unlock, ElementsAre(true));
}

TEST_F(ProcessHandler, OpenGuardsKeepTheirHandlerAcrossSwitches) {
    auto before = ossara::_get_secure_memory();
    ossara::secure_bytearray open_guard(std::string_view("first"));
    ossara::disable_secure_memory();
    {
        ossara::secure_bytearray later_guard(std::string_view("second"));
        EXPECT_FALSE(later_guard->secure_memory()->enabled());
        EXPECT_EQ(later_guard.locked(), std::optional<bool>(false));
    }
    ossara::enable_secure_memory();
    EXPECT_EQ(open_guard->secure_memory(), before);
    EXPECT_TRUE(open_guard->secure_memory()->enabled());
}

TEST_F(ProcessHandler, DeprecatedSecureBytesWarnsOnEveryEntry) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    install_fake();
    const std::string warning =
        "secure_bytes() is deprecated. Use secure_bytearray() instead. The original bytes object cannot be securely "
        "zeroed.";
    for (int i = 0; i < 2; ++i) {
        ossara::secure_bytes guard(std::string_view("legacy"));
        EXPECT_EQ(guard->size(), 6u);
    }
#pragma GCC diagnostic pop
    EXPECT_EQ(logs.lines_at(spdlog::level::warn), std::vector<std::string>(2, warning));
    EXPECT_EQ(logs.lines().front(), warning);
    const auto lines = logs.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Memory unlocked: 6 bytes"), 2);
}

}  // namespace
}  // namespace hvtest
