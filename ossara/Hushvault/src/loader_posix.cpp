// The real loader on Linux and macOS: dlopen/dlsym, errno after each call.
#ifndef _WIN32
#include "detail/loader.hpp"

#include <dlfcn.h>

#include <bit>
#include <cerrno>

namespace ossara::detail {
namespace {

class DlLoader final : public Loader {
public:
    OpenedLibrary open(const std::string& name, ErrorCapture) override {
        // errno is thread-local and read straight after each call, so no
        // special mode is needed to capture it.
        void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return {nullptr, dlerror_text()};
        return {handle, {}};
    }

    ResolvedSymbol resolve(void* library, const std::string& symbol) override {
        ::dlerror();
        void* address = ::dlsym(library, symbol.c_str());
        if (address == nullptr) return {nullptr, dlerror_text()};
        return {std::bit_cast<c_function>(address), {}};
    }

    int last_errno() override { return errno; }
    std::uint32_t last_windows_error() override { return 0; }

private:
    static std::string dlerror_text() {
        const char* text = ::dlerror();
        return text != nullptr ? text : "unknown loader error";
    }
};

}  // namespace

std::shared_ptr<Loader> system_loader() {
    static const std::shared_ptr<Loader> loader = std::make_shared<DlLoader>();
    return loader;
}

}  // namespace ossara::detail
#endif
