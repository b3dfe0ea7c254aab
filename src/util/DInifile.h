#pragma once
// Line-list helpers for the ini file: keys match at the very start of a line,
// case-insensitively, first line wins. Safe from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

using TStringList = std::vector<std::string>;

// Cuts bytes into lines at CR LF, lone CR and lone LF; a NUL ends the text.
TStringList SplitTextLines(std::string_view bytes);

// Replaces the list with the file's lines and returns true when the file
// exists; false (list untouched) when it does not. A file that exists but
// cannot be read throws std::runtime_error.
bool LoadIniFile(TStringList* list, const std::string& path);

std::string ReadIniString(const TStringList& list, std::string_view key);
std::string ReadIniStringDef(const TStringList& list, std::string_view key,
                             const std::string& defaultValue);
int32_t ReadIniInteger(const TStringList& list, std::string_view key, int32_t defaultValue);
void ReadIniBlock(const TStringList& list, std::string_view startKey, std::string_view endKey,
                  TStringList& block);

}  // namespace quorvel
