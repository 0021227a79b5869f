#pragma once
// A loader that hands the handler fake C libraries (libc, kernel32, ntdll)
// whose functions record their calls and fail or throw on request, so every
// backend path can be driven on any system.
#include "detail/loader.hpp"
#include "support/bytes.hpp"
#include "support/log_capture.hpp"

#include <ossara/Hushvault.hpp>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace hvtest {

struct Range {
    std::uintptr_t addr;
    std::size_t size;
    bool operator==(const Range&) const = default;
};

// What the fake functions do and what they saw; fresh for every test.
struct FakePlatform {
    int page_size = 4096;  // getpagesize() and dwPageSize
    bool page_size_throws = false;
    int lock_result = 0;      // mlock; VirtualLock succeeds when this is 0
    std::uintptr_t refuse_lock_at = 0;  // nonzero: a lock starting here is refused
    int error_code = 0;       // errno / last error left by a failed lock
    int unlock_result = 0;    // munlock; VirtualUnlock succeeds when this is 0
    bool calls_throw = false;  // mlock, munlock, VirtualLock raise
    bool zero_throws = false;  // memset, RtlZeroMemory raise
    std::vector<Range> locks, unlocks, zeroes;
    std::vector<std::string> zero_sources;
    // The kernel's wirings per 4096-byte page, as each libc keeps them:
    // Linux's mlock wires a page once however often it is called and one
    // munlock unwires it; Darwin's adds one per call and munlock takes one
    // away. A refused lock wires nothing.
    std::map<std::uintptr_t, int> wired;
    // Bytes inspected at each unlock: were they zero by then?
    std::span<const std::uint8_t> watch;
    std::vector<bool> zero_at_unlock;
};
FakePlatform& fake();

class FakeLoader final : public ossara::detail::Loader {
public:
    std::set<std::string> unloadable;  // library names that fail to open
    std::set<std::string> missing;     // "library!symbol" that fail to resolve
    std::vector<std::string> opened;

    ossara::detail::OpenedLibrary open(const std::string& name, ossara::detail::ErrorCapture) override;
    ossara::detail::ResolvedSymbol resolve(void* library, const std::string& symbol) override;
    int last_errno() override { return fake().error_code; }
    std::uint32_t last_windows_error() override { return static_cast<std::uint32_t>(fake().error_code); }
};

// Fixture: a fresh fake platform, a fake loader, and the module's log.
class FakePlatformTest : public ::testing::Test {
protected:
    FakePlatformTest() { fake() = FakePlatform{}; }
    std::shared_ptr<ossara::Hushvault> handler(const std::string& platform, bool enable = true) {
        return std::make_shared<ossara::Hushvault>(platform, loader, enable);
    }
    std::shared_ptr<FakeLoader> loader = std::make_shared<FakeLoader>();
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
};

inline std::string capability_line(const std::string& platform, const std::string& level, bool locking,
                                   std::size_t page_size = 4096) {
    return "Secure memory capabilities - Platform: " + platform + ", Protection Level: " + level +
           ", Memory Locking: " + (locking ? "True" : "False") + ", Secure Zeroing: True, Page Size: " +
           std::to_string(page_size);
}

inline std::uintptr_t address_of(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

using ossara::testing::all_zero;

}  // namespace hvtest
