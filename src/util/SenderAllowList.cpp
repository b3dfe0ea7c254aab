#include "util/SenderAllowList.h"

#include <cstring>

namespace quorvel {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool ParseDecimal(std::string_view text, unsigned max, unsigned& value) {
    if (text.empty() || text.size() > 3) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= max;
}

bool PrefixMatches(const unsigned char* a, const unsigned char* b, unsigned bits) {
    const unsigned whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0) return false;
    const unsigned rest = bits % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return ((a[whole] ^ b[whole]) & mask) == 0;
}

const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

bool ParseIPv4Bytes(std::string_view text, unsigned char bytes[4]) {
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return false;
        unsigned part = 0;
        if (!ParseDecimal(text.substr(0, dot), 255, part)) return false;
        bytes[i] = static_cast<unsigned char>(part);
        text.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return true;
}

bool ParseIPv6Bytes(std::string_view text, unsigned char bytes[16]) {
    unsigned char head[16] = {}, tail[16] = {};
    size_t headLength = 0, tailLength = 0;
    bool gap = false;
    if (text.substr(0, 2) == "::") {
        gap = true;
        text.remove_prefix(2);
    } else if (!text.empty() && text.front() == ':') {
        return false;
    }
    while (!text.empty()) {
        unsigned char* out = gap ? tail : head;
        size_t& length = gap ? tailLength : headLength;
        const size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            if (length + 4 > 16 || !ParseIPv4Bytes(group, out + length)) return false;
            length += 4;
            text = {};
            break;
        }
        if (group.empty() || group.size() > 4 || length + 2 > 16) return false;
        unsigned value = 0;
        for (char c : group) {
            const int digit = HexValue(c);
            if (digit < 0) return false;
            value = value << 4 | static_cast<unsigned>(digit);
        }
        out[length++] = static_cast<unsigned char>(value >> 8);
        out[length++] = static_cast<unsigned char>(value);
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
        if (!text.empty() && text.front() == ':') {
            if (gap) return false;
            gap = true;
            text.remove_prefix(1);
        } else if (text.empty()) {
            return false;  // a torn group at the end
        }
    }
    if (gap ? headLength + tailLength > 14 : headLength != 16) return false;
    std::memset(bytes, 0, 16);
    std::memcpy(bytes, head, headLength);
    std::memcpy(bytes + 16 - tailLength, tail, tailLength);
    return true;
}

bool TSenderAllowList::Parse(std::string_view text, std::string* bad) {
    entries_.clear();
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = Trim(text.substr(0, comma));
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        if (item.empty()) continue;
        const size_t slash = item.find('/');
        const std::string_view address = item.substr(0, slash);
        TEntry entry;
        if (ParseIPv4Bytes(address, entry.Bytes.data())) {
            entry.Family = kIPv4;
        } else if (ParseIPv6Bytes(address, entry.Bytes.data())) {
            entry.Family = kIPv6;
        }
        const unsigned width = entry.Family == kIPv4 ? 32 : 128;
        entry.Bits = width;
        if (entry.Family == 0 ||
            (slash != std::string_view::npos && !ParseDecimal(item.substr(slash + 1), width, entry.Bits))) {
            entries_.clear();
            if (bad != nullptr) bad->assign(item.data(), item.size());
            return false;
        }
        entries_.push_back(entry);
    }
    return true;
}

bool TSenderAllowList::Admits(int family, const unsigned char* bytes) const {
    if (entries_.empty()) return true;
    if (family == kIPv6 && std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
        family = kIPv4;
        bytes += sizeof kMappedPrefix;
    }
    for (const TEntry& entry : entries_) {
        if (entry.Family == family && PrefixMatches(entry.Bytes.data(), bytes, entry.Bits)) return true;
    }
    return false;
}

}  // namespace quorvel
