#pragma once
// The C signatures the backends declare for the functions they bind.
#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define OSSARA_HV_WINAPI __stdcall
#else
#define OSSARA_HV_WINAPI
#endif

namespace ossara::detail {

// C library (Linux, macOS).
using mlock_fn = int (*)(void* address, std::size_t length);
using munlock_fn = int (*)(void* address, std::size_t length);
using memset_fn = void* (*)(void* address, int value, std::size_t length);
using getpagesize_fn = int (*)();
using madvise_fn = int (*)(void* address, std::size_t length, int advice);

// kernel32 / ntdll (Windows). BOOL is a 32-bit int; nonzero means success.
using win_bool = std::int32_t;
using virtual_lock_fn = win_bool(OSSARA_HV_WINAPI*)(void* address, std::size_t length);
using virtual_unlock_fn = win_bool(OSSARA_HV_WINAPI*)(void* address, std::size_t length);
using rtl_zero_memory_fn = void(OSSARA_HV_WINAPI*)(void* address, std::size_t length);

// Our own copy of the platform's SYSTEM_INFO record: its eleven fields in the
// platform's order and widths (WORD 16, DWORD 32, pointers and DWORD_PTR of
// pointer width). Only dwPageSize is read.
struct SystemInfo {
    std::uint16_t wProcessorArchitecture;
    std::uint16_t wReserved;
    std::uint32_t dwPageSize;
    void* lpMinimumApplicationAddress;
    void* lpMaximumApplicationAddress;
    std::uintptr_t dwActiveProcessorMask;
    std::uint32_t dwNumberOfProcessors;
    std::uint32_t dwProcessorType;
    std::uint32_t dwAllocationGranularity;
    std::uint16_t wProcessorLevel;
    std::uint16_t wProcessorRevision;
};
using get_system_info_fn = void(OSSARA_HV_WINAPI*)(SystemInfo* info);

template <class Fn>
Fn as(c_function function) noexcept {
    return reinterpret_cast<Fn>(function);
}

}  // namespace ossara::detail
