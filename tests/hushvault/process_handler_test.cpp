// The process-wide handler, its switches, and the scoped secure buffers.
#include "detail/process_state.hpp"
#include "fake_platform.hpp"

#include <gmock/gmock.h>

#include <algorithm>

using ::testing::ElementsAre;

namespace hvtest {
namespace {

long count_lines(const std::vector<std::string>& lines, std::string_view prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
}

// Every test starts from a module that has no process-wide handler yet.
class ProcessHandler : public FakePlatformTest {
protected:
    ProcessHandler() { ossara::detail::set_secure_memory_for_tests(nullptr); }
    ~ProcessHandler() override { ossara::detail::set_secure_memory_for_tests(nullptr); }
    // Runs the guards over a fake Linux handler, to see the platform calls.
    void install_fake() {
        ossara::detail::set_secure_memory_for_tests(handler("linux"));
        logs.clear();
    }
};

TEST_F(ProcessHandler, FirstUseCreatesOneHandlerAndSwitchesReplaceIt) {
    auto first = ossara::_get_secure_memory();
    EXPECT_EQ(ossara::_get_secure_memory(), first);
    const std::string platform = ossara::detail::system_platform();
    EXPECT_EQ(count_lines(logs.lines(), "Secure memory capabilities - Platform: " + platform + ", "), 1);

    logs.clear();
    ossara::disable_secure_memory();
    EXPECT_THAT(logs.lines(), ElementsAre("Secure memory disabled by configuration",
                                          "Secure memory operations disabled globally"));
    EXPECT_FALSE(ossara::_get_secure_memory()->enabled());
    EXPECT_EQ(ossara::get_memory_protection_info().dump(),
              R"({"enabled":false,"platform":")" + platform +
                  R"(","protection_level":"none","has_memory_locking":false,)"
                  R"("has_secure_zeroing":false,"supports_full_protection":false,"page_size":4096,)"
                  R"("excludes_from_core_dumps":false})");

    logs.clear();
    ossara::enable_secure_memory();
    auto enabled = ossara::_get_secure_memory();
    ossara::enable_secure_memory();
    EXPECT_NE(ossara::_get_secure_memory(), enabled);
    EXPECT_EQ(count_lines(logs.lines(), "Secure memory capabilities"), 2);
    EXPECT_EQ(logs.lines().back(), "Secure memory operations re-enabled globally");
    EXPECT_EQ(ossara::get_memory_protection_info()["protection_level"], "full");
}

TEST_F(ProcessHandler, GuardLocksThenZeroesAndUnlocksInOrder) {
    install_fake();
    const std::string secret = "hunter2";
    std::uintptr_t addr = 0;
    {
        ossara::secure_bytearray guard(secret);
        addr = guard->address();
        fake().watch = guard->data();
        EXPECT_EQ(guard.locked(), std::optional<bool>(true));
        EXPECT_EQ(std::string(guard->data().begin(), guard->data().end()), secret);
    }
    EXPECT_EQ(secret, "hunter2");  // a byte string is never touched
    EXPECT_THAT(fake().zero_at_unlock, ElementsAre(true));
    EXPECT_THAT(logs.lines(),
                ElementsAre(fmt::format("Memory locked: 7 bytes at 0x{:x}", addr), "Memory locked: 7 bytes",
                            fmt::format("Memory zeroed (native): 7 bytes at 0x{:x}", addr), "Memory zeroed: 7 bytes",
                            fmt::format("Memory unlocked: 7 bytes at 0x{:x}", addr), "Memory unlocked: 7 bytes"));

    logs.clear();
    { ossara::secure_bytearray unlocked_guard(secret, false); }
    EXPECT_EQ(fake().locks.size(), 1u);
    EXPECT_THAT(logs.lines(), ElementsAre(::testing::StartsWith("Memory zeroed (native): 7 bytes"),
                                          "Memory zeroed: 7 bytes"));
}

TEST_F(ProcessHandler, ErrorInsideGuardPassesThroughAfterCleanUp) {
    install_fake();
    std::vector<std::uint8_t> input(9, 0x55);
    struct Boom {
        int code;
    };
    try {
        ossara::secure_bytearray guard(input);
        EXPECT_TRUE(all_zero(input));  // wiped from the moment of entry
        EXPECT_EQ(guard->to_bytes(), std::vector<std::uint8_t>(9, 0x55));
        fake().watch = guard->data();
        throw Boom{42};
    } catch (const Boom& boom) {
        EXPECT_EQ(boom.code, 42);
    }
    EXPECT_EQ(fake().unlocks, fake().locks);
    EXPECT_THAT(fake().zero_at_unlock, ElementsAre(true));
}

TEST_F(ProcessHandler, DisabledHandlerGuardsAndOpenGuardsAcrossSwitches) {
    auto before = ossara::_get_secure_memory();
    ossara::secure_bytearray open_guard(std::string_view("first"));
    ossara::disable_secure_memory();
    logs.clear();
    {
        ossara::secure_bytearray later_guard(std::string_view("12345"));
        EXPECT_FALSE(later_guard->secure_memory()->enabled());
        EXPECT_EQ(later_guard.locked(), std::optional<bool>(false));
    }
    EXPECT_THAT(logs.lines(), ElementsAre("Memory locking not available for 5 bytes, using zeroing only",
                                          "Memory zeroed: 5 bytes", "Memory unlocked: 5 bytes"));
    ossara::enable_secure_memory();
    EXPECT_EQ(open_guard->secure_memory(), before);
    EXPECT_TRUE(open_guard->locked());
}

TEST_F(ProcessHandler, DeprecatedSecureBytesWarnsOnEveryEntry) {
    install_fake();
    for (int i = 0; i < 2; ++i) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        ossara::secure_bytes guard(std::string_view("legacy"));
#pragma GCC diagnostic pop
        EXPECT_TRUE(guard->locked());
    }
    const std::string warning =
        "secure_bytes() is deprecated. Use secure_bytearray() instead. The original bytes object cannot be securely "
        "zeroed.";
    EXPECT_EQ(logs.lines_at(spdlog::level::warn), std::vector<std::string>(2, warning));
    EXPECT_EQ(logs.lines().front(), warning);
    EXPECT_EQ(fake().unlocks.size(), 2u);
}

}  // namespace
}  // namespace hvtest
