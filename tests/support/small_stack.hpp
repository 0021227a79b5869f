#pragma once
// Runs a function on a thread with a small stack (256 KiB by default), as an
// application's worker thread may have, and rethrows whatever it threw: a
// recursion over received data shows up there as a crash long before it
// would on the main thread.
#include <cstddef>
#include <functional>

namespace ossara::testing {

inline constexpr std::size_t kSmallStack = 256 * 1024;

void run_on_small_stack(const std::function<void()>& work, std::size_t stack_size = kSmallStack);

}  // namespace ossara::testing
