#include "fake_platform.hpp"

#include "detail/native_types.hpp"

#include <cstring>
#include <map>
#include <stdexcept>

namespace hvtest {
namespace {

using ossara::detail::c_function;

FakePlatform state;

void record_watch() {
    auto [bytes, size] = state.watch;
    if (bytes == nullptr) return;
    bool zero = true;
    for (std::size_t i = 0; i < size; ++i) zero = zero && bytes[i] == 0;
    state.watch_zero_at_unlock.push_back(zero);
}

int fake_getpagesize() {
    if (state.page_size_throws) throw std::runtime_error("getpagesize broke");
    return state.page_size;
}
int fake_mlock(void* addr, std::size_t size) {
    if (state.lock_throws) throw std::runtime_error("lock call broke");
    state.locks.push_back({address_of(addr), size});
    return state.lock_result;
}
int fake_munlock(void* addr, std::size_t size) {
    if (state.unlock_throws) throw std::runtime_error("unlock call broke");
    state.unlocks.push_back({address_of(addr), size});
    record_watch();
    return state.unlock_result;
}
void* fake_memset(void* addr, int value, std::size_t size) {
    if (state.zero_throws) throw std::runtime_error("native zeroing broke");
    state.zeroes.push_back({address_of(addr), size});
    state.zero_sources.emplace_back("memset");
    return std::memset(addr, value, size);
}
void fake_get_system_info(ossara::detail::SystemInfo* info) {
    if (state.page_size_throws) throw std::runtime_error("GetSystemInfo broke");
    info->dwPageSize = static_cast<std::uint32_t>(state.page_size);
}
ossara::detail::win_bool fake_virtual_lock(void* addr, std::size_t size) {
    if (state.lock_throws) throw std::runtime_error("lock call broke");
    state.locks.push_back({address_of(addr), size});
    return state.win_lock_result;
}
ossara::detail::win_bool fake_virtual_unlock(void* addr, std::size_t size) {
    state.unlocks.push_back({address_of(addr), size});
    record_watch();
    return state.win_unlock_result;
}
template <const char* Source>
void fake_rtl_zero_memory(void* addr, std::size_t size) {
    if (state.zero_throws) throw std::runtime_error("native zeroing broke");
    state.zeroes.push_back({address_of(addr), size});
    state.zero_sources.emplace_back(Source);
    std::memset(addr, 0, size);
}
constexpr char kNtdllZero[] = "ntdll!RtlZeroMemory";
constexpr char kKernelZero[] = "kernel32!RtlZeroMemory";

template <class Fn>
c_function erase(Fn fn) {
    return reinterpret_cast<c_function>(fn);
}

// The fake libraries: name -> symbol -> function. Their handles are the
// addresses of their names in this table.
const std::map<std::string, std::map<std::string, c_function>>& libraries() {
    static const std::map<std::string, std::map<std::string, c_function>> table = {
        {"libc.so.6",
         {{"getpagesize", erase(&fake_getpagesize)},
          {"mlock", erase(&fake_mlock)},
          {"munlock", erase(&fake_munlock)},
          {"memset", erase(&fake_memset)}}},
        {"kernel32",
         {{"GetSystemInfo", erase(&fake_get_system_info)},
          {"VirtualLock", erase(&fake_virtual_lock)},
          {"VirtualUnlock", erase(&fake_virtual_unlock)},
          {"RtlZeroMemory", erase(&fake_rtl_zero_memory<kKernelZero>)}}},
        {"ntdll", {{"RtlZeroMemory", erase(&fake_rtl_zero_memory<kNtdllZero>)}}},
    };
    return table;
}

}  // namespace

FakePlatform& fake() { return state; }
void reset_fake() { state = FakePlatform{}; }

ossara::detail::OpenedLibrary FakeLoader::open(const std::string& name, ossara::detail::ErrorCapture) {
    opened.push_back(name);
    // macOS gets the same fake C library under its own name.
    const std::string key = name == "libc.dylib" ? "libc.so.6" : name;
    auto found = libraries().find(key);
    if (unloadable.contains(name) || found == libraries().end())
        return {nullptr, name + ": cannot open shared object file: No such file or directory"};
    return {const_cast<std::string*>(&found->first), {}};
}

ossara::detail::ResolvedSymbol FakeLoader::resolve(void* library, const std::string& symbol) {
    const auto& name = *static_cast<const std::string*>(library);
    const auto& symbols = libraries().at(name);
    auto found = symbols.find(symbol);
    if (missing.contains(name + "!" + symbol) || found == symbols.end())
        return {nullptr, name + ": undefined symbol: " + symbol};
    return {found->second, {}};
}

int FakeLoader::last_errno() { return state.lock_errno; }
std::uint32_t FakeLoader::last_windows_error() { return state.win_last_error; }

std::shared_ptr<ossara::Hushvault> make_handler(const std::string& platform, std::shared_ptr<FakeLoader> loader,
                                                bool enable) {
    return std::make_shared<ossara::Hushvault>(platform, std::move(loader), enable);
}

}  // namespace hvtest
