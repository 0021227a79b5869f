// The Linux backend against the real kernel: locked pages show up in VmLck,
// and an unprivileged process without a lock allowance still gets zeroing.
#include "real_pages.hpp"
#include "support/log_capture.hpp"

#include <ossara/Hushvault.hpp>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace hvtest {
namespace {

TEST(RealMemoryLock, GuardLockShowsInVmLckUntilExit) {
    ossara::enable_secure_memory();
    const auto before = locked_kb();
    ASSERT_TRUE(before.has_value()) << "no VmLck in /proc/self/status";
    std::vector<std::uint8_t> secret(64 * 1024, 0xA5);
    {
        ossara::secure_bytearray guard(secret);
        if (!guard.locked().value_or(false))
            GTEST_SKIP() << "mlock refused here (RLIMIT_MEMLOCK too small and no CAP_IPC_LOCK)";
        EXPECT_GE(*locked_kb(), *before + 64);
    }
    EXPECT_EQ(locked_kb(), before);
}

// Exit codes of the child below.
enum ChildResult : int { kOk = 0, kNoPrivilegeDrop = 10, kLocked = 11, kNotZeroed = 12, kWrongLine = 13 };

int run_unprivileged_child() {
    // Root's CAP_IPC_LOCK ignores the limit: become nobody first.
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return kNoPrivilegeDrop;
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_MEMLOCK, &none) != 0) return kNoPrivilegeDrop;
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    auto hv = std::make_shared<ossara::Hushvault>();
    std::vector<std::uint8_t> bytes(4096, 0xAA);
    if (hv->lock_memory(bytes)) return kLocked;
    if (!logs.contains("mlock permission denied. Grant CAP_IPC_LOCK or increase ulimit -l")) return kWrongLine;
    hv->zero_memory(bytes);
    if (!std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; })) return kNotZeroed;
    return kOk;
}

TEST(RealMemoryLock, NoLockAllowanceStillZeroes) {
    const auto code = run_in_child(run_unprivileged_child, std::chrono::seconds(10));
    ASSERT_TRUE(code) << "child did not finish";
    ASSERT_LT(*code, 128) << "child ended abnormally";
    if (*code == kNoPrivilegeDrop) GTEST_SKIP() << "cannot drop privileges or set RLIMIT_MEMLOCK here";
    EXPECT_EQ(*code, kOk);
}

}  // namespace
}  // namespace hvtest
