#pragma once
// Reused buffers that give memory back after an unusual use. Pure; the
// caller owns the buffer and its thread.

#include <cstddef>

namespace quorvel {

// What a reused line buffer keeps between uses: a received line is at most a
// 32 KB datagram plus its stamps, unless control bytes are replaced by a
// long CNVCTRLCODE, which can make one line a hundred megabytes.
inline constexpr size_t kKeptBufferCapacity = 64 * 1024;

// Frees the buffer's memory when it grew past keep; true when it did. The
// next use starts from an empty buffer and grows again only as far as needed.
template <class Buffer>
bool ReleaseExcessCapacity(Buffer& buffer, size_t keep = kKeptBufferCapacity) {
    if (buffer.capacity() <= keep) return false;
    Buffer().swap(buffer);
    return true;
}

}  // namespace quorvel
