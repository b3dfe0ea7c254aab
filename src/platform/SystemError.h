#pragma once
// The calling thread's last system error code (errno, GetLastError).

namespace quorvel::platform {

int LastErrorCode();

}  // namespace quorvel::platform
