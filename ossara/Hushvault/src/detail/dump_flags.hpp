#pragma once
// Which pages the process keeps out of its core dumps. On Linux the only view
// of it is the "dd" among the VmFlags of /proc/self/smaps.
#include "detail/page_locks.hpp"

#include <cstdint>
#include <vector>

namespace ossara::detail {

// The runs inside [first, end) whose mapping is excluded from core dumps, in
// address order; empty where the system offers no such view.
std::vector<PagePlatform::Run> excluded_from_dumps(std::uintptr_t first, std::uintptr_t end);

}  // namespace ossara::detail
