#include "platform/Memory.h"

#include <windows.h>

namespace quorvel::platform {

// The process heap decommits large freed blocks by itself; compacting it
// also gives back the free space between smaller ones.
void ReturnFreeMemory() { HeapCompact(GetProcessHeap(), 0); }

}  // namespace quorvel::platform
