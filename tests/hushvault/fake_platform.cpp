#include "fake_platform.hpp"

#include "detail/native_types.hpp"

#include <cstring>
#include <map>
#include <stdexcept>

namespace hvtest {
namespace {

using ossara::detail::c_function;
FakePlatform state;

int record(std::vector<Range>& calls, void* addr, std::size_t size, int result) {
    if (state.calls_throw) throw std::runtime_error("platform call broke");
    calls.push_back({address_of(addr), size});
    return result;
}
void zero(const char* source, void* addr, std::size_t size) {
    if (state.zero_throws) throw std::runtime_error("native zeroing broke");
    state.zeroes.push_back({address_of(addr), size});
    state.zero_sources.emplace_back(source);
    std::memset(addr, 0, size);
}
int fake_getpagesize() {
    if (state.page_size_throws) throw std::runtime_error("getpagesize broke");
    return state.page_size;
}
// Applies `change` to the wiring of every page of [a, a + n). Ranges beyond
// 1 MiB are left out of the model (tests of huge ranges count records only).
template <class Change>
void rewire(void* a, std::size_t n, Change change) {
    constexpr std::uintptr_t kPage = 4096;
    if (n > (std::size_t{1} << 20)) return;
    const std::uintptr_t first = address_of(a) & ~(kPage - 1);
    for (std::uintptr_t page = first; page < address_of(a) + n; page += kPage) {
        int& count = state.wired[page];
        count = change(count);
        if (count == 0) state.wired.erase(page);
    }
}
int mlock_wiring(void* a, std::size_t n, bool counted) {
    const bool refused = state.refuse_lock_at != 0 && address_of(a) == state.refuse_lock_at;
    const int result = record(state.locks, a, n, refused ? -1 : state.lock_result);
    if (result == 0) rewire(a, n, [&](int count) { return counted ? count + 1 : 1; });
    return result;
}
int munlock_wiring(void* a, std::size_t n, bool counted) {
    state.zero_at_unlock.push_back(all_zero(state.watch));
    const int result = record(state.unlocks, a, n, state.unlock_result);
    if (result == 0) rewire(a, n, [&](int count) { return counted && count > 0 ? count - 1 : 0; });
    return result;
}
int fake_mlock(void* a, std::size_t n) { return mlock_wiring(a, n, false); }
int fake_munlock(void* a, std::size_t n) { return munlock_wiring(a, n, false); }
int darwin_mlock(void* a, std::size_t n) { return mlock_wiring(a, n, true); }
int darwin_munlock(void* a, std::size_t n) { return munlock_wiring(a, n, true); }
void* fake_memset(void* a, int, std::size_t n) { return zero("memset", a, n), a; }
void fake_get_system_info(ossara::detail::SystemInfo* info) {
    info->dwPageSize = static_cast<std::uint32_t>(fake_getpagesize());
}
ossara::detail::win_bool fake_virtual_lock(void* a, std::size_t n) { return fake_mlock(a, n) == 0; }
ossara::detail::win_bool fake_virtual_unlock(void* a, std::size_t n) { return fake_munlock(a, n) == 0; }
void fake_ntdll_zero(void* a, std::size_t n) { zero("ntdll", a, n); }
void fake_kernel32_zero(void* a, std::size_t n) { zero("kernel32", a, n); }

template <class Fn>
c_function erase(Fn fn) {
    return reinterpret_cast<c_function>(fn);
}

// name -> symbol -> function; a library's handle is the address of its name.
const std::map<std::string, std::map<std::string, c_function>> libraries = {
    {"libc.so.6",
     {{"getpagesize", erase(&fake_getpagesize)},
      {"mlock", erase(&fake_mlock)},
      {"munlock", erase(&fake_munlock)},
      {"memset", erase(&fake_memset)}}},
    {"/usr/lib/libc.dylib",
     {{"getpagesize", erase(&fake_getpagesize)},
      {"mlock", erase(&darwin_mlock)},
      {"munlock", erase(&darwin_munlock)},
      {"memset", erase(&fake_memset)}}},
    {"kernel32",
     {{"GetSystemInfo", erase(&fake_get_system_info)},
      {"VirtualLock", erase(&fake_virtual_lock)},
      {"VirtualUnlock", erase(&fake_virtual_unlock)},
      {"RtlZeroMemory", erase(&fake_kernel32_zero)}}},
    {"ntdll", {{"RtlZeroMemory", erase(&fake_ntdll_zero)}}},
};

}  // namespace

FakePlatform& fake() { return state; }

ossara::detail::OpenedLibrary FakeLoader::open(const std::string& name, ossara::detail::ErrorCapture) {
    opened.push_back(name);
    auto found = libraries.find(name);
    if (unloadable.contains(name) || found == libraries.end())
        return {nullptr, name + ": cannot open shared object file: No such file or directory"};
    return {const_cast<std::string*>(&found->first), {}};
}

ossara::detail::ResolvedSymbol FakeLoader::resolve(void* library, const std::string& symbol) {
    const auto& name = *static_cast<const std::string*>(library);
    const auto& symbols = libraries.at(name);
    auto found = symbols.find(symbol);
    if (missing.contains(name + "!" + symbol) || found == symbols.end())
        return {nullptr, name + ": undefined symbol: " + symbol};
    return {found->second, {}};
}

}  // namespace hvtest
