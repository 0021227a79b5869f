#include "allocator_policy.hpp"

#include <cstdlib>  // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace veilrelay_router {

void return_large_blocks_when_freed() {
#if defined(__GLIBC__)
    // A fixed threshold also ends glibc's adjusting of it (and of the trim threshold).
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

}  // namespace veilrelay_router
