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
int fake_mlock(void* a, std::size_t n) {
    const bool refused = state.refuse_lock_at != 0 && address_of(a) == state.refuse_lock_at;
    return record(state.locks, a, n, refused ? -1 : state.lock_result);
}
int fake_munlock(void* a, std::size_t n) {
    state.zero_at_unlock.push_back(all_zero(state.watch));
    return record(state.unlocks, a, n, state.unlock_result);
}
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
    auto found = libraries.find(name == "libc.dylib" ? "libc.so.6" : name);  // macOS gets the same fake libc
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
