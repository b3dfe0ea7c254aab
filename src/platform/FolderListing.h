#pragma once
// What a folder holds, and removing one file from it, without following
// links. Safe from any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::platform {

enum class EntryKind { File, Link, Folder, Other };

struct FolderEntry {
    std::string Name;   // without the folder
    uint64_t Size = 0;  // bytes; 0 unless a File
    EntryKind Kind = EntryKind::Other;
};

// The entries of the folder (no "." or ".."), each as found: a symbolic link
// (on Windows any reparse point, a junction too) is a Link whatever it points
// to. 0 or the system's error code.
int ListFolder(const std::string& folder, std::vector<FolderEntry>& entries);

// Removes the regular file at path; a link, a folder or anything else in its
// place is left alone and refused. 0 or the system's error code.
int RemoveFile(const std::string& path);

}  // namespace quorvel::platform
