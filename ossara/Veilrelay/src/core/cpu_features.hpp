#pragma once
// What the processor offers beyond the baseline the library is compiled for,
// asked once. Code compiled for a wider instruction set (a function
// attribute) runs only where this says it may.
namespace ossara::detail {

// Whether AVX2 may be used: always false off x86-64.
bool cpu_has_avx2() noexcept;

}  // namespace ossara::detail
