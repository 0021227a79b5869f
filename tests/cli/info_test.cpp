// The `info` report: protection info plus the memory-lock limit.
#include "info_command.hpp"

#include <ossara/Hushvault.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace veilrelay_cli {
namespace {

TEST(Info, ReportNestsProtectionInfoAndWritesUnlimitedAsAWord) {
    const ossara::json info = {{"enabled", true}, {"protection_level", "full"}};
    const auto report = memory_report(info, MemlockLimit{8192, std::nullopt});
    EXPECT_EQ(report.dump(), R"({"memory_protection":{"enabled":true,"protection_level":"full"},)"
                             R"("memlock_limit":{"soft":8192,"hard":"unlimited"}})");
}

TEST(Info, HintOnlyWhenNotEvenOnePageCanBeLocked) {
    EXPECT_TRUE(memlock_hint(MemlockLimit{std::nullopt, std::nullopt}, 4096).empty());
    EXPECT_TRUE(memlock_hint(MemlockLimit{4096, 4096}, 4096).empty());
    EXPECT_TRUE(memlock_hint(MemlockLimit{65536, 65536}, 4096).empty());
    for (const std::uint64_t small : {0ULL, 4095ULL}) {
        const std::string hint = memlock_hint(MemlockLimit{small, small}, 4096);
        EXPECT_NE(hint.find("ulimit -l"), std::string::npos) << hint;
        EXPECT_NE(hint.find(std::to_string(small) + " bytes"), std::string::npos) << hint;
    }
}

// macOS holds mlock to its wiring limits: the report names both, the hint
// comes when the per-user one cannot take a page.
TEST(Info, WireLimitReportAndHint) {
    const ossara::json info = {{"enabled", true}};
    EXPECT_EQ(wire_limit_report(info, WireLimits{1u << 30, std::nullopt}).dump(),
              R"({"memory_protection":{"enabled":true},"wire_limit":{"user":1073741824,"global":null}})");
    const struct {
        WireLimits limits;
        bool hint;
    } rows[] = {
        {WireLimits{}, false},
        {WireLimits{16384, 16384}, false},
        {WireLimits{16383, 1u << 30}, true},
        {WireLimits{0, std::nullopt}, true},
    };
    for (const auto& row : rows) {
        const std::string hint = wire_limit_hint(row.limits, 16384);
        EXPECT_EQ(!hint.empty(), row.hint) << row.limits.user.value_or(0);
        if (row.hint) {
            EXPECT_NE(hint.find("vm.user_wire_limit"), std::string::npos) << hint;
            EXPECT_NE(hint.find(std::to_string(*row.limits.user) + " bytes"), std::string::npos) << hint;
            EXPECT_EQ(hint.find("ulimit"), std::string::npos) << "a Linux remedy: " << hint;
        }
    }
}

TEST(Info, WorkingSetReportNamesBothLimitsOrNullWhenUnknown) {
    const ossara::json info = {{"enabled", true}};
    EXPECT_EQ(working_set_report(info, WorkingSetLimits{204800, 1413120}).dump(),
              R"({"memory_protection":{"enabled":true},"working_set":{"minimum":204800,"maximum":1413120}})");
    EXPECT_EQ(working_set_report(info, std::nullopt).dump(),
              R"({"memory_protection":{"enabled":true},"working_set":{"minimum":null,"maximum":null}})");
}

// VirtualLock leaves the system 8 pages of the minimum working set: the hint
// appears once fewer than 9 pages remain.
TEST(Info, WorkingSetHintOnlyWhenNoPageIsLeftToLock) {
    const struct {
        std::optional<WorkingSetLimits> limits;
        bool hint;
    } rows[] = {
        {std::nullopt, false},
        {WorkingSetLimits{204800, 1413120}, false},  // the system's default
        {WorkingSetLimits{9 * 4096, 9 * 4096}, false},
        {WorkingSetLimits{9 * 4096 - 1, 9 * 4096}, true},
        {WorkingSetLimits{0, 0}, true},
    };
    for (const auto& row : rows) {
        const std::string hint = working_set_hint(row.limits, 4096);
        EXPECT_EQ(!hint.empty(), row.hint) << (row.limits ? row.limits->minimum : 0);
        if (row.hint) {
            EXPECT_NE(hint.find(std::to_string(row.limits->minimum) + " bytes"), std::string::npos) << hint;
        }
    }
}

TEST(Info, RunPrintsJsonWithTheLibrarysProtectionInfo) {
    std::ostringstream out, err;
    run_info(out, err);
    const auto report = ossara::json::parse(out.str());
    ASSERT_TRUE(report.contains("memory_protection"));
    EXPECT_EQ(report["memory_protection"], ossara::get_memory_protection_info());
#if defined(_WIN32)
    EXPECT_TRUE(report["working_set"]["minimum"].is_number()) << report.dump();
    EXPECT_GE(report["working_set"]["maximum"], report["working_set"]["minimum"]);
    EXPECT_FALSE(report.contains("memlock_limit"));
#elif defined(__APPLE__)
    EXPECT_TRUE(report["wire_limit"]["user"].is_number()) << report.dump();
    EXPECT_FALSE(report.contains("memlock_limit"));
#else
    EXPECT_EQ(report["memlock_limit"]["soft"].is_number() || report["memlock_limit"]["soft"] == "unlimited", true);
    EXPECT_FALSE(report.contains("working_set"));
#endif
}

}  // namespace
}  // namespace veilrelay_cli
