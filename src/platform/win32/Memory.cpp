#include "platform/Memory.h"

namespace quorvel::platform {

// The Windows heap serves blocks this large from their own virtual
// allocations and releases them when freed.
void ReturnLargeBlocksAtOnce() {}

}  // namespace quorvel::platform
