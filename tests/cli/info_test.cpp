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

TEST(Info, RunPrintsJsonWithTheLibrarysProtectionInfo) {
    std::ostringstream out, err;
    run_info(out, err);
    const auto report = ossara::json::parse(out.str());
    ASSERT_TRUE(report.contains("memory_protection"));
    EXPECT_EQ(report["memory_protection"], ossara::get_memory_protection_info());
    EXPECT_EQ(report["memlock_limit"]["soft"].is_number() || report["memlock_limit"]["soft"] == "unlimited", true);
}

}  // namespace
}  // namespace veilrelay_cli
