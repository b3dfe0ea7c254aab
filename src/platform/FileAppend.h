#pragma once
// One append to a file, under a whole-file lock when it is free. Safe from
// any thread; the lock is meant for other processes (viewers, backups, a
// second server) that honour the same lock.

#include <string>
#include <string_view>

namespace quorvel::platform {

// What an append does when another opener holds the file's lock.
enum class AppendLock {
    Required,  // fail with the Locked code; nothing is written
    IfFree,    // append without the lock: each write still lands whole at the end
};

// Opens the file, creating it when missing (readable by owner and group only)
// and never truncating it, never through a symbolic link, takes the
// whole-file lock without waiting, appends all bytes and closes the file
// again. 0 when every byte is in the file, otherwise the system's error code;
// AppendFailureOf tells what it means for the caller. lockSkipped, when
// given, says whether the bytes went in without the lock.
int AppendToFile(const std::string& path, std::string_view bytes, AppendLock lock = AppendLock::Required,
                 bool* lockSkipped = nullptr);

enum class AppendFailure {
    Locked,       // another opener holds the file (its lock, or on Windows a handle that
                  // shares no writing); nothing was written
    NoFolder,     // the folder of the path does not exist; nothing was written
    OpenFailed,   // any other reason the file could not be opened; nothing was written
    WriteFailed,  // the write itself failed; the file keeps its former length where possible
    Refused,      // the path is no regular file to write (a symbolic link, a folder, a special
                  // file, a linked folder, a name the system rejects); waiting cannot help;
                  // nothing was written
};

// The meaning of a non-zero AppendToFile result.
AppendFailure AppendFailureOf(int code);

}  // namespace quorvel::platform
