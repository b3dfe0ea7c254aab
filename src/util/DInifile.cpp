#include "util/DInifile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "util/Chars.h"

namespace quorvel {

namespace {

// Keys are ASCII; a Shift_JIS lead byte in the line never equals a key byte,
// so its trail byte is never compared.
bool BeginsWithKey(std::string_view line, std::string_view key) {
    if (line.size() < key.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        if (UpperAscii(line[i]) != UpperAscii(key[i])) return false;
    }
    return true;
}

thread_local TIniKeyLog* currentKeyLog = nullptr;

const std::string* FindKeyLine(const TStringList& list, std::string_view key) {
    TIniKeyLog::Note(key);
    for (const std::string& line : list) {
        if (BeginsWithKey(line, key)) return &line;
    }
    return nullptr;
}

// Optional sign, then decimal digits fitting int32, or "$"/"x"/"0x" and hex
// digits fitting 32 bits, read as the signed pattern ("$FFFFFFFF" is -1).
std::optional<int32_t> ParseInteger(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    std::string_view rest = text.substr(i);
    size_t marker = 0;
    if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
        marker = 1;
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        marker = 2;
    }
    std::string_view digits = rest.substr(marker);
    if (digits.empty()) return std::nullopt;

    if (marker > 0) {
        uint64_t value = 0;
        for (char c : digits) {
            int d = HexDigitValue(c);
            if (d < 0) return std::nullopt;
            value = value * 16 + static_cast<uint64_t>(d);
            if (value > 0xFFFFFFFFu) return std::nullopt;
        }
        uint32_t pattern = static_cast<uint32_t>(value);
        if (negative) pattern = 0u - pattern;
        return static_cast<int32_t>(pattern);
    }

    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

TStringList SplitTextLines(std::string_view bytes) {
    size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    TStringList lines;
    size_t start = 0;
    size_t i = 0;
    while (i < bytes.size()) {
        char c = bytes[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(bytes.substr(start, i - start));
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        ++i;
        start = i;
    }
    if (start < bytes.size()) lines.emplace_back(bytes.substr(start));
    return lines;
}

TIniKeyLog::TIniKeyLog() : outer_(currentKeyLog) { currentKeyLog = this; }

TIniKeyLog::~TIniKeyLog() { currentKeyLog = outer_; }

void TIniKeyLog::Note(std::string_view key) {
    if (currentKeyLog != nullptr) currentKeyLog->keys_.emplace_back(key);
}

bool IniLineHasKey(std::string_view line, std::string_view key) { return BeginsWithKey(line, key); }

bool ParseIniInteger(std::string_view value, int32_t& number) {
    std::string digits;
    for (char c : value) {
        if (c != ' ' && c != '\t') digits += c;
    }
    const std::optional<int32_t> parsed = ParseInteger(digits);
    if (parsed) number = *parsed;
    return parsed.has_value();
}

TStringList SplitIniText(std::string_view bytes, bool* utf8) {
    const bool bom = bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF";
    if (bom) bytes.remove_prefix(3);
    if (utf8 != nullptr) *utf8 = bom;
    // Some editors and copy tools pad a file with NULs, which may go. A NUL
    // with text behind it would silently drop every key after it (a port,
    // above all), so such a file is refused, naming the line.
    const size_t nul = bytes.find('\0');
    const bool padded = nul != std::string_view::npos && bytes.find_first_not_of('\0', nul) == std::string_view::npos;
    if (padded) bytes = bytes.substr(0, nul);
    // UTF-16 puts a NUL beside every ASCII character: such a file would pass
    // for an empty one and start the defaults.
    const bool utf16 = bytes.size() >= 2 && (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF" ||
                                             bytes[0] == '\0' || bytes[1] == '\0');
    if (utf16) throw std::runtime_error("the text is UTF-16; save it as Shift_JIS");
    if (nul != std::string_view::npos && !padded) {
        const bool lineStart = nul == 0 || bytes[nul - 1] == '\n' || bytes[nul - 1] == '\r';
        const size_t line = SplitTextLines(bytes.substr(0, nul)).size() + (lineStart ? 1 : 0);
        throw TIniNulError("line " + std::to_string(line) + " holds a NUL byte, which would hide the rest of the file",
                           line);
    }
    return SplitTextLines(bytes);
}

bool LoadIniFile(TStringList* list, const std::string& path, bool* utf8) {
    if (list == nullptr) return false;
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) return false;
    if (ec) throw std::runtime_error("cannot read ini file " + path + ": " + ec.message());
    // A directory opens as a stream on POSIX and a FIFO would block the start
    // for ever: only a regular file is a settings file.
    if (status.type() != fs::file_type::regular) {
        throw std::runtime_error("cannot read ini file " + path + ": not a regular file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open ini file " + path);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("error while reading ini file " + path);
    try {
        *list = SplitIniText(bytes, utf8);
    } catch (const TIniNulError& e) {
        throw TIniNulError("cannot read ini file " + path + ": " + e.what(), e.Line);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("cannot read ini file " + path + ": " + e.what());
    }
    return true;
}

std::string ReadIniString(const TStringList& list, std::string_view key) {
    return ReadIniStringDef(list, key, std::string());
}

std::string ReadIniStringDef(const TStringList& list, std::string_view key,
                             const std::string& defaultValue) {
    const std::string* line = FindKeyLine(list, key);
    return line ? line->substr(key.size()) : defaultValue;
}

int32_t ReadIniInteger(const TStringList& list, std::string_view key, int32_t defaultValue) {
    const std::string* line = FindKeyLine(list, key);
    int32_t number = defaultValue;
    if (!line || !ParseIniInteger(std::string_view(*line).substr(key.size()), number)) return defaultValue;
    return number;
}

void ReadIniBlock(const TStringList& list, std::string_view startKey, std::string_view endKey,
                  TStringList& block) {
    block.clear();
    TIniKeyLog::Note(startKey);
    TIniKeyLog::Note(endKey);
    bool inside = false;
    for (const std::string& line : list) {
        if (BeginsWithKey(line, endKey)) break;
        if (inside) block.push_back(line);
        if (BeginsWithKey(line, startKey)) inside = true;
    }
}

}  // namespace quorvel
