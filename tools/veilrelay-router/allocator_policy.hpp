#pragma once
// How the router's process allocates large blocks (request bodies, opened
// packages, model answers): from 1 MiB up they come from the system and go
// back to it as soon as they are freed. By default glibc raises its
// thresholds once the first large block is freed, and then keeps later ones
// at the top of each event loop's heap, where malloc_trim does not reach:
// after a few requests of 16 MiB, tens of MiB per loop stayed resident.
namespace veilrelay_router {

// Process-wide; call once at start, before the serving threads.
void return_large_blocks_when_freed();

}  // namespace veilrelay_router
