#pragma once
// How the process's allocator hands memory back to the system.

namespace quorvel::platform {

// From now on, blocks above 256 KB come straight from the system and go
// straight back when freed, so that the resident size drops again after a
// burst of huge lines. Call once at start, before other threads run.
void ReturnLargeBlocksAtOnce();

}  // namespace quorvel::platform
