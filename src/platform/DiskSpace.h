#pragma once
// Room left on a file system. Safe from any thread.

#include <cstdint>
#include <string>

namespace quorvel::platform {

// Bytes this process may still write on the file system that holds the
// folder (what a non-privileged writer gets, not the blocks kept back for
// the system's administrator). 0 or the system's error code.
int FreeSpace(const std::string& folder, uint64_t& bytes);

}  // namespace quorvel::platform
