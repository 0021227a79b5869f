#pragma once
// Force-included (-include) into the clang build of the fuzz harnesses and
// the libraries they link. clang 14 with libstdc++ 12 lacks two things the
// code relies on:
//  - std::source_location: libstdc++ defines it only when the compiler has
//    __builtin_source_location (clang 15+). Stand-in built on the older
//    __builtin_FILE / __builtin_LINE family.
//  - Asio enables co_await for clang only with <experimental/coroutine>;
//    run-fuzz.sh defines ASIO_HAS_CO_AWAIT for this build.
#if defined(__clang__) && !__has_builtin(__builtin_source_location)
#include <cstdint>
#include <source_location>  // provides nothing here, but takes its include guard

namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             uint_least32_t line = __builtin_LINE(),
                                             uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location where;
        where.file_ = file;
        where.function_ = function;
        where.line_ = line;
        where.column_ = column;
        return where;
    }
    constexpr source_location() noexcept = default;
    constexpr uint_least32_t line() const noexcept { return line_; }
    constexpr uint_least32_t column() const noexcept { return column_; }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    uint_least32_t line_ = 0;
    uint_least32_t column_ = 0;
};
}  // namespace std
#endif
