#pragma once
// Padding, date texts, folders, mail addresses and IP address texts.
// Pure functions over byte strings (Shift_JIS); safe from any thread.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace quorvel {

using TDateTime = platform::LocalTime;

std::string ZeroPad2(int value);
std::string ZeroPad3(int value);
std::string SpacePad2(int value);

// "yyyy/mm/dd hh:nn:ss"
std::string FormatDateTimeText(const TDateTime& t);
// "Sun,  6 Dec 2026 02:06:02 " + zone
std::string FormatMailDate(std::string_view zone, const TDateTime& t);
// The local offset from UTC in the mail header form "+hhmm" / "-hhmm".
std::string FormatUtcOffset(int offsetMinutes);

// Appends the platform's folder separator unless the text already ends in it.
std::string EnsureTrailingBackslash(std::string_view folder);
// The same for a given separator. A separator byte that is the trail byte of a
// Shift_JIS character does not count as the folder's end.
std::string EnsureTrailingSeparator(std::string_view folder, char separator);
// Folder of the running executable, ending with the separator.
std::string ExeFolder();

// Splits at the first "@"; without one both parts are empty.
void SplitMailAddress(std::string_view address, std::string& localPart, std::string& domain);

// --- IP address texts ---

// The four dotted parts: -1 for a missing or invalid part, -2 for "*".
std::array<int, 4> SplitIPv4Address(std::string_view text);
bool IsIPv4Address(std::string_view text);

enum TAddressKind { akNone = 0, akIPv4 = 1, akIPv6 = 2 };
TAddressKind AddressKind(std::string_view text);

struct TIPv6Address {
    std::array<uint16_t, 8> Groups{};
    uint8_t PrefixLength = 0;
    std::string Zone;
};

struct TZeroBlock {
    int StartIndex = 0;
    int EndIndex = 0;
    int Length = 0;
    bool Selected = false;
};
using TZeroBlockList = std::vector<TZeroBlock>;

bool ParseIPv6Address(std::string_view text, TIPv6Address& address);
TZeroBlockList FindZeroBlocks(const TIPv6Address& address);
std::string FormatIPv6Address(const TIPv6Address& address, bool upperCase);

}  // namespace quorvel
