#include "core/throw_site.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#endif

namespace ossara::detail {

namespace {

std::string hex(std::uintptr_t value) {
    char text[2 + 2 * sizeof value + 1];
    std::snprintf(text, sizeof text, "0x%jx", static_cast<std::uintmax_t>(value));
    return text;
}

#ifndef _WIN32
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

std::string frame_text(void* address) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0) return hex(reinterpret_cast<std::uintptr_t>(address));
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::string module = info.dli_fname != nullptr ? info.dli_fname : "?";
    if (const auto slash = module.rfind('/'); slash != std::string::npos) module.erase(0, slash + 1);
    if (info.dli_sname == nullptr || info.dli_saddr == nullptr)
        return module + "+" + hex(at - reinterpret_cast<std::uintptr_t>(info.dli_fbase));
    int status = 0;
    const std::unique_ptr<char, FreeDeleter> demangled(abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status));
    const std::string name = status == 0 && demangled ? demangled.get() : info.dli_sname;
    return name + "+" + hex(at - reinterpret_cast<std::uintptr_t>(info.dli_saddr)) + " (" + module + ")";
}
#else
// Windows keeps no symbol names without debug files: each frame is named by
// its module and the offset into it, which a debugger resolves.
std::string frame_text(void* address) {
    HMODULE module = nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module))
        return hex(at);
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(module, path, MAX_PATH);
    std::string name(path, length);
    if (const auto slash = name.find_last_of("\\/"); slash != std::string::npos) name.erase(0, slash + 1);
    return (name.empty() ? std::string("?") : name) + "+" + hex(at - reinterpret_cast<std::uintptr_t>(module));
}
#endif

}  // namespace

ThrowSite capture_throw_site() noexcept {
    ThrowSite site;
#ifdef _WIN32
    site.count = CaptureStackBackTrace(1, ThrowSite::kMaxFrames, site.frames.data(), nullptr);
#else
    std::array<void*, ThrowSite::kMaxFrames + 1> frames{};
    const int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
    for (int i = 1; i < count; ++i) site.frames[static_cast<std::size_t>(i - 1)] = frames[static_cast<std::size_t>(i)];
    site.count = count > 0 ? count - 1 : 0;
#endif
    return site;
}

std::string format_throw_site(const ThrowSite& site) {
    std::string out;
    for (int i = 0; i < site.count; ++i) {
        void* const address = site.frames[static_cast<std::size_t>(i)];
        out += "\n  #" + std::to_string(i) + " ";
        out += frame_text(address);
    }
    return out;
}

}  // namespace ossara::detail
