#pragma once
// Handing freed memory back to the system. Safe from any thread.

namespace quorvel::platform {

// Returns the allocator's free pages to the system, so that the resident
// size drops after a large buffer was freed. Costs a walk of the heap: call
// it after such a release, not per line.
void ReturnFreeMemory();

}  // namespace quorvel::platform
