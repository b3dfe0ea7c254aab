#include "platform/Memory.h"

#include <malloc.h>

namespace quorvel::platform {

namespace {

constexpr int kLargeBlockBytes = 256 * 1024;

}  // namespace

// glibc raises its mmap threshold (to 32 MB) each time a mapped block is
// freed, and its trim threshold with it (to 64 MB); a thread's arena never
// gives its top back below that, not even to malloc_trim. One 128 MB line
// left 33 MB resident for good. A fixed threshold ends the raising.
void ReturnLargeBlocksAtOnce() { mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes); }

}  // namespace quorvel::platform
