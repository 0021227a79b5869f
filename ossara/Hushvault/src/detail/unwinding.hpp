#pragma once
// Thread cancellation meets the library's catch-all blocks.
//
// glibc cancels a thread by throwing abi::__forced_unwind through its stack;
// a catch-all that swallows it makes the process abort. Every catch-all that
// does not rethrow is preceded by `catch (const detail::forced_unwind&) { throw; }`.
// Clean-up that runs in a destructor cannot let that unwind out (the process
// would terminate), so it holds off cancellation with NoCancellation until it
// is done; a pending cancellation then acts at the thread's next
// cancellation point.
#include <version>  // defines the C++ library's own macros, __GLIBCXX__ among them
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace ossara::detail {

#if defined(__GLIBCXX__)
using forced_unwind = abi::__forced_unwind;
#else
// Never thrown where the C++ library has no forced unwinding.
struct forced_unwind {};
#endif

// Whether a cancelled thread unwinds as forced_unwind, which the catch-alls
// let pass: glibc with GNU's C++ library. Elsewhere guards hold off
// cancellation for their whole life (CancellationHold in the public header).
#if defined(__GLIBCXX__) && defined(__GLIBC__)
inline constexpr bool kCancellationUnwinds = true;
#else
inline constexpr bool kCancellationUnwinds = false;
#endif

class NoCancellation {
public:
#if defined(__unix__) || defined(__APPLE__)
    NoCancellation() noexcept { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &_previous); }
    ~NoCancellation() { ::pthread_setcancelstate(_previous, nullptr); }
#else
    // Nothing to hold off; user-provided so that a guard is not an "unused variable".
    NoCancellation() noexcept {}
    ~NoCancellation() {}
#endif
    NoCancellation(const NoCancellation&) = delete;
    NoCancellation& operator=(const NoCancellation&) = delete;

private:
#if defined(__unix__) || defined(__APPLE__)
    int _previous = PTHREAD_CANCEL_ENABLE;
#endif
};

}  // namespace ossara::detail
