#pragma once
// Socket handles are plain ints on every platform (a Winsock SOCKET fits the
// values the system hands out), so the interfaces read the same everywhere.

namespace quorvel::platform {

constexpr int kNoSocket = -1;

}  // namespace quorvel::platform
