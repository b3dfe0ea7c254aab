#include "util/DString.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Paths.h"
#include "util/Chars.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string PadLeft(int value, size_t width, char fill) {
    std::string text = std::to_string(value);
    if (text.size() < width) text.insert(0, width - text.size(), fill);
    return text;
}

// Sakamoto's method on the proleptic Gregorian calendar; the mail header must
// name the weekday of the date it carries, whatever the caller filled in.
int DayOfWeek(long long year, int month, long long day) {
    static const int offsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    long long dow = (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
    return static_cast<int>(dow < 0 ? dow + 7 : dow);
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// Position of the last byte of the text that is a separator in its own right,
// not the trail byte of a double-byte character (0x5C is a valid trail byte,
// so on Windows a folder ending in such a character does not end in "\").
// npos when there is none. "/" can never be a trail byte; POSIX paths are
// often UTF-8, whose continuation bytes must not be taken for lead bytes.
size_t LastSeparator(std::string_view text, char separator) {
    const bool canBeTrail = static_cast<unsigned char>(separator) >= 0x40;
    size_t found = std::string_view::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if (canBeTrail && IsSJISLeadByte(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        if (text[i] == separator) found = i;
    }
    return found;
}

// Decimal IPv4 part: digits only, below 256; anything else is -1.
int IPv4Part(std::string_view token) {
    if (token == "*") return -2;
    if (token.empty()) return -1;
    int value = 0;
    for (char c : token) {
        if (!IsDecimalDigit(c)) return -1;
        value = value * 10 + (c - '0');
        if (value >= 256) return -1;
    }
    return value;
}

int HexNibble(char c) { return std::max(0, HexDigitValue(c)); }

// Pairs of characters, most significant first; a character that is not a hex
// digit counts as 0. Only the low 16 bits ever reach a group.
uint16_t HexTextToInt(std::string_view token) {
    uint32_t value = 0;
    size_t i = 0;
    if (token.size() % 2 == 1) {
        value = static_cast<uint32_t>(HexNibble(token[0]));
        i = 1;
    }
    for (; i < token.size(); i += 2) {
        value = (value << 8) |
                static_cast<uint32_t>(HexNibble(token[i]) << 4 | HexNibble(token[i + 1]));
    }
    return static_cast<uint16_t>(value & 0xFFFF);
}

uint8_t ParsePrefixLength(std::string_view text) {
    if (text.empty()) return 128;
    int value = 0;
    for (char c : text) {
        if (!IsDecimalDigit(c)) return 128;
        value = value * 10 + (c - '0');
        if (value > 128) return 128;
    }
    return static_cast<uint8_t>(value);
}

bool IsAddressByte(char c) { return HexDigitValue(c) >= 0 || c == ':' || c == '.' || c == '/'; }

std::string GroupText(uint16_t group, bool upperCase) {
    std::string text;
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        int nibble = (group >> shift) & 0xF;
        if (nibble != 0 || started || shift == 0) {
            text += HexDigit(static_cast<unsigned>(nibble), upperCase);
            started = true;
        }
    }
    return text;
}

}  // namespace

std::string ZeroPad2(int value) { return PadLeft(value, 2, '0'); }
std::string ZeroPad3(int value) { return PadLeft(value, 3, '0'); }
std::string SpacePad2(int value) { return PadLeft(value, 2, ' '); }

std::string FormatDateTimeText(const TDateTime& t) {
    std::string year = PadLeft(t.Year, 4, '0');
    return year + "/" + ZeroPad2(t.Month) + "/" + ZeroPad2(t.Day) + " " + ZeroPad2(t.Hour) + ":" +
           ZeroPad2(t.Minute) + ":" + ZeroPad2(t.Second);
}

std::string FormatMailDate(std::string_view zone, const TDateTime& t) {
    // A broken-down time from elsewhere may be out of range; never index past
    // the name tables, write the number instead.
    bool monthValid = t.Month >= 1 && t.Month <= 12;
    std::string dayName = monthValid ? kDayNames[DayOfWeek(t.Year, t.Month, t.Day)] : "???";
    std::string monthName = monthValid ? kMonthNames[t.Month - 1] : std::to_string(t.Month);
    std::string text = dayName + ", " + SpacePad2(t.Day) + " " + monthName + " " +
                       std::to_string(t.Year) + " " + ZeroPad2(t.Hour) + ":" + ZeroPad2(t.Minute) +
                       ":" + ZeroPad2(t.Second) + " ";
    text.append(zone);
    return text;
}

std::string FormatUtcOffset(int offsetMinutes) {
    long long minutes = offsetMinutes;
    char sign = minutes < 0 ? '-' : '+';
    minutes = std::llabs(minutes);
    std::string hours = std::to_string(minutes / 60);
    if (hours.size() < 2) hours.insert(0, 1, '0');
    std::string rest = std::to_string(minutes % 60);
    if (rest.size() < 2) rest.insert(0, 1, '0');
    return sign + hours + rest;
}

std::string EnsureTrailingSeparator(std::string_view folder, char separator) {
    std::string text(folder);
    if (text.empty() || LastSeparator(text, separator) != text.size() - 1) text += separator;
    return text;
}

std::string EnsureTrailingBackslash(std::string_view folder) {
    return EnsureTrailingSeparator(folder, platform::PathSeparator());
}

std::string ExeFolder() {
    std::string path = platform::ExecutablePath();
    size_t last = LastSeparator(path, platform::PathSeparator());
    std::string folder = last == std::string::npos ? std::string() : path.substr(0, last + 1);
    return EnsureTrailingBackslash(folder);
}

void SplitMailAddress(std::string_view address, std::string& localPart, std::string& domain) {
    size_t at = address.find('@');
    if (at == std::string_view::npos) {
        localPart.clear();
        domain.clear();
        return;
    }
    localPart.assign(address.substr(0, at));
    domain.assign(address.substr(at + 1));
}

std::array<int, 4> SplitIPv4Address(std::string_view text) {
    std::array<int, 4> parts = {-1, -1, -1, -1};
    std::string token;
    int dots = 0;
    for (char c : text) {
        if (c != '.') {
            token += c;
            continue;
        }
        if (dots < 3) parts[static_cast<size_t>(dots)] = IPv4Part(token);
        ++dots;
        token.clear();
    }
    if (!token.empty()) parts[3] = IPv4Part(token);
    return parts;
}

bool IsIPv4Address(std::string_view text) {
    for (int part : SplitIPv4Address(text)) {
        if (part == -1) return false;
    }
    return true;
}

TAddressKind AddressKind(std::string_view text) {
    if (text.find(':') != std::string_view::npos) return akIPv6;
    if (text.find('.') != std::string_view::npos) return akIPv4;
    return akNone;
}

bool ParseIPv6Address(std::string_view text, TIPv6Address& address) {
    address = TIPv6Address{};
    if (text.empty()) return false;

    const size_t npos = std::string_view::npos;
    size_t percent = text.find('%');
    size_t slash = text.find('/');
    for (size_t i = 0; i < text.size() && i != percent; ++i) {
        if (!IsAddressByte(text[i])) return false;
    }
    if (slash != npos && text.find('/', slash + 1) != npos) return false;
    if (percent != npos && text.find('%', percent + 1) != npos) return false;
    if (text == "::" || text == "0::0") return true;

    TIPv6Address result;
    std::vector<uint16_t> values;
    size_t gapAt = npos;  // number of values in front of "::"
    std::string_view groups = text.substr(0, std::min(slash, percent));
    size_t tokenStart = 0;
    for (size_t i = 0; i < groups.size(); ++i) {
        if (groups[i] != ':') continue;
        // The next byte may be the "/" or "%" after the groups: only a ":" at
        // the very end of the whole text is a torn group.
        if (i + 1 >= text.size()) return false;
        values.push_back(HexTextToInt(groups.substr(tokenStart, i - tokenStart)));
        if (groups.size() > i + 1 && groups[i + 1] == ':') {
            gapAt = values.size();
            ++i;
        }
        tokenStart = i + 1;
        if (values.size() > 8) return false;
    }
    std::string_view token = groups.substr(std::min(tokenStart, groups.size()));

    if (gapAt == npos) {
        if (values.size() == 7) values.push_back(HexTextToInt(token));
        for (size_t g = 0; g < values.size(); ++g) result.Groups[g] = values[g];
    } else {
        if (!token.empty()) {
            if (token.find('.') != npos) {
                std::array<int, 4> parts = SplitIPv4Address(token);
                for (int part : parts) {
                    if (part == -1) return false;
                }
                values.push_back(static_cast<uint16_t>((parts[0] & 0xFF) << 8 | (parts[1] & 0xFF)));
                values.push_back(static_cast<uint16_t>((parts[2] & 0xFF) << 8 | (parts[3] & 0xFF)));
            } else {
                values.push_back(HexTextToInt(token));
            }
        }
        if (values.size() > 8) return false;
        for (size_t g = 0; g < gapAt; ++g) result.Groups[g] = values[g];
        size_t after = values.size() - gapAt;
        for (size_t k = 0; k < after; ++k) result.Groups[8 - after + k] = values[gapAt + k];
    }

    if (percent != npos) {
        std::string_view zone = text.substr(percent + 1);
        result.Zone.assign(zone.substr(0, zone.find('/')));
    }
    if (slash != npos) {
        std::string_view prefix = text.substr(slash + 1);
        result.PrefixLength = ParsePrefixLength(prefix.substr(0, prefix.find_first_of("/%")));
    }
    address = result;
    return true;
}

TZeroBlockList FindZeroBlocks(const TIPv6Address& address) {
    TZeroBlockList blocks;
    int g = 0;
    while (g < 8) {
        if (address.Groups[static_cast<size_t>(g)] != 0) {
            ++g;
            continue;
        }
        int start = g;
        while (g < 8 && address.Groups[static_cast<size_t>(g)] == 0) ++g;
        if (g - start >= 2) blocks.push_back(TZeroBlock{start, g - 1, g - start, false});
    }
    return blocks;
}

std::string FormatIPv6Address(const TIPv6Address& address, bool upperCase) {
    TZeroBlockList blocks = FindZeroBlocks(address);
    std::string text;
    if (blocks.empty()) {
        for (size_t g = 0; g < 8; ++g) {
            if (g > 0) text += ':';
            text += GroupText(address.Groups[g], upperCase);
        }
    } else {
        // RFC 5952 4.2.3: the longest run, the first of equally long ones.
        TZeroBlock* chosen = &blocks.front();
        for (TZeroBlock& block : blocks) {
            if (block.Length > chosen->Length) chosen = &block;
        }
        chosen->Selected = true;
        if (chosen->StartIndex == 0) text += ':';
        for (int g = 0; g < 8; ++g) {
            if (g == chosen->StartIndex) {
                text += ':';
            } else if (g < chosen->StartIndex || g > chosen->EndIndex) {
                text += GroupText(address.Groups[static_cast<size_t>(g)], upperCase);
                text += ':';
            }
        }
        if (chosen->EndIndex != 7) text.pop_back();
    }
    return text;
}

}  // namespace quorvel
