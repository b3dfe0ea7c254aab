#pragma once
// gzip compression of a finished log beside itself (RFC 1952, through
// zlib). The compressed file counts only once it is complete: it is written
// under a name no reader takes for a finished file, synced, and then given
// its name; the original goes last. A run cut short at any point leaves the
// original whole and no complete-looking compressed file.
// Safe from any thread (each call works on its own files).

#include <cstdint>
#include <functional>
#include <string>

namespace quorvel {

// Codes of a compression that failed without a system error.
inline constexpr int kCompressCancelled = -1;  // keepGoing said stop
inline constexpr int kCompressChanged = -2;    // the original grew meanwhile
inline constexpr int kCompressLibrary = -3;    // zlib refused

struct TCompressOutcome {
    uint64_t OriginalBytes = 0;
    uint64_t CompressedBytes = 0;
    // The step that failed ("open", "write", ...), empty after success.
    std::string Step;
};

// Compresses path into path + ".gz" (through path + ".gz.tmp"), then removes
// path. keepGoing is asked between pieces of the file; false abandons the
// run. 0, a system error code, or one of the codes above; after a failure
// the original is untouched and the temporary file gone where it could be
// removed.
int CompressLogFile(const std::string& path, const std::function<bool()>& keepGoing, TCompressOutcome& outcome);

}  // namespace quorvel
