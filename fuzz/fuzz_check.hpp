#pragma once
// Shared by the harnesses: a failed property aborts, so libFuzzer records the
// input as a crash.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace ossara::fuzz {

[[noreturn]] inline void fail(const char* property, const char* detail = "") {
    std::fprintf(stderr, "property violated: %s %s\n", property, detail);
    std::abort();
}

#define OSSARA_FUZZ_CHECK(condition) \
    do {                             \
        if (!(condition)) ::ossara::fuzz::fail(#condition); \
    } while (false)

// Called from a catch (...) block: an error escaped that is not one of the
// library's typed errors.
[[noreturn]] inline void fail_untyped_error() {
    try {
        throw;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "untyped error %s: %s\n", typeid(error).name(), error.what());
    } catch (...) {
        std::fprintf(stderr, "untyped error of unknown type\n");
    }
    std::abort();
}

}  // namespace ossara::fuzz
