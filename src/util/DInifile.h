#pragma once
// Line-list helpers for the ini file: keys match at the very start of a line,
// case-insensitively, first line wins. Safe from any thread.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

using TStringList = std::vector<std::string>;

// Cuts bytes into lines at CR LF, lone CR and lone LF; a NUL ends the text.
TStringList SplitTextLines(std::string_view bytes);

// A NUL inside an ini file's text (not its trailing padding); Line counts
// from 1.
class TIniNulError : public std::runtime_error {
public:
    TIniNulError(const std::string& what, size_t line) : std::runtime_error(what), Line(line) {}
    size_t Line;
};

// The lines of an ini file's bytes: a UTF-8 byte-order mark in front is
// skipped (an editor's, not part of the first key) and says that the lines
// are UTF-8, which the caller learns through utf8 when it asks; NULs that
// only pad the end are dropped. UTF-16 text, which would read as nothing,
// throws std::runtime_error; a NUL with text behind it throws TIniNulError.
TStringList SplitIniText(std::string_view bytes, bool* utf8 = nullptr);

// Replaces the list with the file's lines (SplitIniText) and returns true
// when the file exists; false (list untouched) when it does not. A file that
// exists but cannot be read throws std::runtime_error.
bool LoadIniFile(TStringList* list, const std::string& path, bool* utf8 = nullptr);

// True when the line begins with the key (letter case aside).
bool IniLineHasKey(std::string_view line, std::string_view key);

// While one lives, every key the readers below look up on its thread is
// noted in it, so that a caller can tell the lines that no key reads.
class TIniKeyLog {
public:
    TIniKeyLog();
    ~TIniKeyLog();
    TIniKeyLog(const TIniKeyLog&) = delete;
    TIniKeyLog& operator=(const TIniKeyLog&) = delete;
    const std::vector<std::string>& Keys() const { return keys_; }
    static void Note(std::string_view key);

private:
    std::vector<std::string> keys_;
    TIniKeyLog* outer_;
};

// The number a value holds as ReadIniInteger reads it (blanks removed,
// decimal or "$"/"0x" hex); false when it holds none.
bool ParseIniInteger(std::string_view value, int32_t& number);

std::string ReadIniString(const TStringList& list, std::string_view key);
std::string ReadIniStringDef(const TStringList& list, std::string_view key,
                             const std::string& defaultValue);
int32_t ReadIniInteger(const TStringList& list, std::string_view key, int32_t defaultValue);
void ReadIniBlock(const TStringList& list, std::string_view startKey, std::string_view endKey,
                  TStringList& block);

}  // namespace quorvel
