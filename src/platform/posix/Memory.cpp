#include "platform/Memory.h"

#include <malloc.h>

namespace quorvel::platform {

// glibc keeps freed blocks below its (self-raising) mmap threshold in the
// heap, so without a trim a burst of large lines stays resident for good.
void ReturnFreeMemory() { malloc_trim(0); }

}  // namespace quorvel::platform
