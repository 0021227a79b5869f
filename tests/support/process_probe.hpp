#pragma once
// What the system says about this process: locked and resident memory, open
// descriptors, the heap, and the accept queue of a listening socket. Tests
// compare them before and after a run, or wait for them. One side per system
// (process_probe_linux.cpp, _macos.cpp, _windows.cpp); what a system does not
// tell comes back empty (nullopt, or -1), and the test that needs it skips.
#include <cstddef>
#include <cstdint>
#include <optional>

// Sanitizer allocators keep freed memory (resident size says nothing then).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSSARA_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSSARA_SANITIZED_ALLOCATOR 1
#endif
#endif

namespace ossara::testing {

// Memory this process holds locked, in kB (Linux: VmLck; macOS: its wired
// memory; Windows: not told).
std::optional<long> locked_kb();

// Descriptors open in this process (Linux, macOS); handles on Windows.
int open_descriptors();

// Resident size in bytes after free heap memory went back to the system; -1 if unknown.
long resident_bytes();

// Restarts the peak of the resident size from the current size; false where
// that cannot be done (then peak_resident_bytes() says nothing useful).
bool reset_peak_resident();
// The peak resident size in bytes since the last reset; nullopt if unknown.
std::optional<long> peak_resident_bytes();

// Bytes the heap has handed out and not taken back; nullopt if unknown.
std::optional<std::size_t> heap_in_use();

// The usable size of the heap block at `block` (from malloc), at least what was asked.
std::size_t heap_block_size(const void* block);

// Connections waiting to be accepted on the IPv4 socket listening on `port`;
// nothing when no such socket is listed, or where the system does not tell.
std::optional<int> accept_queue_length(int port);

// Raises this process's soft limit of open files to `wanted`, as far as the
// hard limit allows (a higher limit is kept). macOS starts processes with
// 256, too few for tests that hold a hundred connections at once, each with
// descriptors on both sides.
void raise_open_file_limit(std::uint64_t wanted);

}  // namespace ossara::testing
