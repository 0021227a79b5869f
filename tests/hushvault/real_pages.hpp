#pragma once
// What the kernel says about this process's locked memory.
#include "support/process_probe.hpp"
#include "support/subprocess.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hvtest {

using ossara::testing::locked_kb;  // VmLck in kB

// The VmFlags of the mapping holding `address` (/proc/self/smaps), e.g.
// "rd wr mr mw me lo dd ac"; empty when no mapping holds it.
std::string vm_flags_at(std::uintptr_t address);

// Whether a VmFlags line holds the two-letter flag `flag`.
bool has_flag(const std::string& flags, const std::string& flag);

// The VmFlags of each of `count` pages from `first`, from one read of smaps.
std::vector<std::string> page_flags(std::uintptr_t first, std::size_t count, std::size_t page_size);

using ossara::testing::run_in_child;

// Silences the module's logger for a scope: a forked child must not wait for
// a sink lock that another thread of the parent held at the fork.
class QuietLog {
public:
    QuietLog();
    ~QuietLog();
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

private:
    int _saved;
};

// Page-aligned memory of its own, released on destruction.
class AlignedPages {
public:
    AlignedPages(std::size_t pages, std::size_t page_size);
    ~AlignedPages();
    AlignedPages(const AlignedPages&) = delete;
    AlignedPages& operator=(const AlignedPages&) = delete;
    std::uint8_t* data() const noexcept { return _data; }
    std::uintptr_t address() const noexcept { return reinterpret_cast<std::uintptr_t>(_data); }

private:
    std::uint8_t* _data;
};

}  // namespace hvtest
