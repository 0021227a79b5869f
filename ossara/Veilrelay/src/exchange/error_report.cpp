#include "exchange/error_report.hpp"

#include <cxxabi.h>
#include <execinfo.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace ossara::detail {

namespace {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

std::string demangle(const char* name) {
    int status = 0;
    const std::unique_ptr<char, FreeDeleter> demangled(abi::__cxa_demangle(name, nullptr, nullptr, &status));
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(name);
}

std::string stack_trace() {
    std::array<void*, 64> frames{};
    const int count = ::backtrace(frames.data(), static_cast<int>(frames.size()));
    const std::unique_ptr<char*, FreeDeleter> symbols(::backtrace_symbols(frames.data(), count));
    std::string out = "Stack trace:";
    for (int i = 0; i < count; ++i) {
        out += "\n  #" + std::to_string(i) + " ";
        out += symbols ? symbols.get()[i] : "?";
    }
    return out;
}

}  // namespace

std::string describe_error_with_stack(const std::exception& error) {
    return demangle(typeid(error).name()) + ": " + error.what() + "\n" + stack_trace();
}

}  // namespace ossara::detail
