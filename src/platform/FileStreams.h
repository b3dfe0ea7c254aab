#pragma once
// Whole-file reading and writing for work on finished files (compressing a
// log beside itself): a new file is complete only once synced and renamed.
// Each object is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::platform {

// What both kinds of file hold: one system handle, never copied; each
// closes it in its own way.
class FileObject {
public:
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

protected:
    FileObject() = default;
    ~FileObject() = default;
    intptr_t handle_ = -1;
};

// An existing regular file opened for reading.
class InputFile : public FileObject {
public:
    ~InputFile() { Close(); }

    // Never through a link; anything but a regular file is refused. 0 or
    // the system's error code.
    int Open(const std::string& path);
    // Up to size bytes: the count, 0 at the end, -1 on failure
    // (LastSystemError tells why).
    long long Read(char* buffer, size_t size);
    // The file's length now, or -1 (LastSystemError).
    long long Length() const;
    void Close();
};

// A file made new (never one that exists, never through a link), readable
// by the owner and the group only.
class OutputFile : public FileObject {
public:
    ~OutputFile() { Close(); }

    // 0 or the system's error code (one for "exists" when the name is taken).
    int Create(const std::string& path);
    // Every byte, or the system's error code.
    int Write(std::string_view bytes);
    // Until the bytes are on the disk: 0 or the system's error code.
    int Sync();
    // 0 or the system's error code of the close.
    int Close();
};

// Gives the file `from` the name `to` unless that name is taken, and makes
// the new name itself durable. 0 or the system's error code.
int RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace quorvel::platform
