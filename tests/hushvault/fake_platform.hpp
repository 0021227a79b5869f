#pragma once
// A loader that hands the handler fake C libraries (libc, kernel32, ntdll)
// whose functions record their calls and fail or throw on request, so every
// backend path can be driven on any system.
#include "detail/loader.hpp"
#include "support/log_capture.hpp"

#include <gtest/gtest.h>

#include <ossara/Hushvault.hpp>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace hvtest {

struct Range {
    std::uintptr_t addr;
    std::size_t size;
    bool operator==(const Range&) const = default;
};

// What the fake functions do and what they saw. Reset before every test.
struct FakePlatform {
    int page_size = 4096;                // getpagesize() / dwPageSize
    bool page_size_throws = false;
    int lock_result = 0;                 // mlock result (VirtualLock: nonzero = ok, set below)
    int lock_errno = 0;                  // errno left by a failed mlock
    int win_lock_result = 1;
    std::uint32_t win_last_error = 0;    // GetLastError after a failed VirtualLock
    int unlock_result = 0;               // munlock result
    int win_unlock_result = 1;
    bool lock_throws = false;
    bool unlock_throws = false;
    bool zero_throws = false;            // memset / RtlZeroMemory raise

    std::vector<Range> locks, unlocks, zeroes;
    std::vector<std::string> zero_sources;  // "memset", "ntdll!RtlZeroMemory", "kernel32!RtlZeroMemory"
    // Bytes to inspect when unlock is called: were they already zero?
    std::pair<const std::uint8_t*, std::size_t> watch{nullptr, 0};
    std::vector<bool> watch_zero_at_unlock;
};

FakePlatform& fake();
void reset_fake();

class FakeLoader final : public ossara::detail::Loader {
public:
    std::set<std::string> unloadable;       // library names that fail to open
    std::set<std::string> missing;          // "library!symbol" that fail to resolve
    std::vector<std::string> opened;        // names asked for, in order

    ossara::detail::OpenedLibrary open(const std::string& name, ossara::detail::ErrorCapture capture) override;
    ossara::detail::ResolvedSymbol resolve(void* library, const std::string& symbol) override;
    int last_errno() override;
    std::uint32_t last_windows_error() override;
};

// A shared handler for `platform` built on `loader`.
std::shared_ptr<ossara::Hushvault> make_handler(const std::string& platform, std::shared_ptr<FakeLoader> loader,
                                                bool enable = true);

// Fixture: a fresh fake platform, a fake loader, and the module's log.
class FakePlatformTest : public ::testing::Test {
protected:
    FakePlatformTest() { reset_fake(); }
    std::shared_ptr<ossara::Hushvault> handler(const std::string& platform, bool enable = true) {
        return make_handler(platform, loader, enable);
    }
    std::shared_ptr<FakeLoader> loader = std::make_shared<FakeLoader>();
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
};

inline std::string capability_line(const std::string& platform, const std::string& level, bool locking, bool zeroing,
                                   std::size_t page_size) {
    return "Secure memory capabilities - Platform: " + platform + ", Protection Level: " + level +
           ", Memory Locking: " + (locking ? "True" : "False") + ", Secure Zeroing: " + (zeroing ? "True" : "False") +
           ", Page Size: " + std::to_string(page_size);
}

inline std::uintptr_t address_of(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

}  // namespace hvtest
