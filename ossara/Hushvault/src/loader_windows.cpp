// The real loader on Windows: LoadLibrary/GetProcAddress, GetLastError after
// each call.
#ifdef _WIN32
#include "detail/loader.hpp"

#include <windows.h>

#include <bit>
#include <cerrno>
#include <string>

namespace ossara::detail {
namespace {

std::string last_error_text(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = "[WinError " + std::to_string(code) + "]";
    if (length != 0 && text != nullptr) {
        std::string body(text, length);
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
        message += " " + body;
    }
    if (text != nullptr) ::LocalFree(text);
    return message;
}

class WinLoader final : public Loader {
public:
    OpenedLibrary open(const std::string& name, ErrorCapture) override {
        HMODULE module = ::LoadLibraryA(name.c_str());
        if (module == nullptr) return {nullptr, last_error_text(::GetLastError())};
        return {module, {}};
    }

    ResolvedSymbol resolve(void* library, const std::string& symbol) override {
        FARPROC address = ::GetProcAddress(static_cast<HMODULE>(library), symbol.c_str());
        if (address == nullptr) return {nullptr, last_error_text(::GetLastError())};
        return {reinterpret_cast<c_function>(address), {}};
    }

    int last_errno() override { return errno; }
    std::uint32_t last_windows_error() override { return ::GetLastError(); }
};

}  // namespace

std::shared_ptr<Loader> system_loader() {
    static const std::shared_ptr<Loader> loader = std::make_shared<WinLoader>();
    return loader;
}

}  // namespace ossara::detail
#endif
