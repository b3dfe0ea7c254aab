#include "util/jconvert.h"

#include <array>

namespace quorvel {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

constexpr std::string_view kWordPrefix = "=?iso-2022-jp?B?";
constexpr std::string_view kWordSuffix = "?=";
// RFC 5322 2.2.3 folding: the next encoded word continues on a TAB-indented line.
constexpr std::string_view kFold = "\r\n\t";
constexpr std::string_view kKanjiIn = "\x1B$B";
constexpr std::string_view kKanjiOut = "\x1B(B";
// Shift_JIS trail bytes run from 0x40; JIS X 0208's geta mark stands for a
// byte that forms no character.
constexpr unsigned char kLowestTrailByte = 0x40;
constexpr std::string_view kSubstituteMark = "\x22\x2E";

// -1 for anything outside the RFC 4648 section 4 alphabet.
constexpr std::array<int8_t, 256> MakeDecodeTable() {
    std::array<int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

bool IsBase64Blank(char c) { return c == '\r' || c == '\n' || c == ' '; }

bool HasLeadByte(std::string_view text) {
    for (char c : text)
        if (IsSJISLeadByte(static_cast<unsigned char>(c))) return true;
    return false;
}

std::string EncodedWord(std::string_view text) {
    std::string word(kWordPrefix);
    word += EncodeBase64(SJIStoJIS(text));
    word += kWordSuffix;
    return word;
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                     static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[v >> 18 & 0x3F];
        out += kBase64Alphabet[v >> 12 & 0x3F];
        out += kBase64Alphabet[v >> 6 & 0x3F];
        out += kBase64Alphabet[v & 0x3F];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kBase64Alphabet[v >> 18 & 0x3F];
        out += kBase64Alphabet[v >> 12 & 0x3F];
        out += rest == 2 ? kBase64Alphabet[v >> 6 & 0x3F] : kPad;
        out += kPad;
    }
    return out;
}

std::string DecodeBase64(std::string_view text) {
    // The output is bounded by the count of data characters up front, so no
    // arrangement of pads and blanks can make it outgrow what was reserved.
    size_t dataChars = 0;
    for (char c : text)
        if (!IsBase64Blank(c) && c != kPad) ++dataChars;
    const size_t reserved = 3 * (dataChars / 4) + (dataChars % 4 > 1 ? dataChars % 4 - 1 : 0);

    std::string out;
    out.reserve(reserved);
    auto emit = [&](uint32_t v, int count) {
        for (int k = 0; k < count && out.size() < reserved; ++k)
            out += static_cast<char>(v >> (16 - 8 * k) & 0xFF);
    };

    size_t pos = 0;
    while (pos < text.size()) {
        if (IsBase64Blank(text[pos])) {
            ++pos;
            continue;
        }
        if (text.size() - pos < 4) break;  // a group cut short by the end
        const std::string_view group = text.substr(pos, 4);
        int8_t values[4];
        bool valid = true;
        for (int k = 0; k < 4; ++k) {
            values[k] = group[k] == kPad ? 0 : kDecodeTable[static_cast<unsigned char>(group[k])];
            if (values[k] < 0) valid = false;
        }
        // A pad in the first two places leaves not even one whole byte.
        if (!valid || group[0] == kPad || group[1] == kPad) break;
        const uint32_t v = static_cast<uint32_t>(values[0]) << 18 | static_cast<uint32_t>(values[1]) << 12 |
                           static_cast<uint32_t>(values[2]) << 6 | static_cast<uint32_t>(values[3]);
        emit(v, group[2] == kPad ? 1 : group[3] == kPad ? 2 : 3);
        pos += 4;
    }
    return out;
}

std::pair<uint8_t, uint8_t> SJISCharToJIS(uint8_t lead, uint8_t trail) {
    // The usual Shift_JIS to JIS arithmetic: each lead byte covers two JIS
    // rows, the trail byte range 0x9F-0xFC selecting the even one.
    uint8_t first = static_cast<uint8_t>(lead <= 0x9F ? 2 * (lead - 0x70) : 2 * (lead - 0xB0));
    if (trail < 0x9F) first = static_cast<uint8_t>(first - 1);
    uint8_t second;
    if (trail < 0x7F)
        second = static_cast<uint8_t>(trail - 0x1F);
    else if (trail < 0x9F)
        second = static_cast<uint8_t>(trail - 0x20);
    else
        second = static_cast<uint8_t>(trail - 0x7E);
    return {first, second};
}

std::string SJIStoJIS(std::string_view sjis) {
    std::string out;
    out.reserve(sjis.size() + 8);
    bool kanji = false;
    size_t i = 0;
    while (i < sjis.size()) {
        const auto c = static_cast<unsigned char>(sjis[i]);
        if (IsSJISLeadByte(c)) {
            if (!kanji) {
                out += kKanjiIn;
                kanji = true;
            }
            // A lead byte cut off at the end must not pull in a byte beyond the text.
            const auto trail = i + 1 < sjis.size() ? static_cast<unsigned char>(sjis[i + 1]) : 0;
            if (i + 1 < sjis.size() && trail < kLowestTrailByte) {
                // No character: the arithmetic would turn such a byte into a
                // control byte (0x29 gives LF, 0x2C CR), a bare line end in
                // the mail body. The lead byte becomes the substitute mark
                // and the byte after it stands on its own.
                out += kSubstituteMark;
                ++i;
                continue;
            }
            const auto jis = SJISCharToJIS(c, static_cast<uint8_t>(trail));
            out += static_cast<char>(jis.first);
            out += static_cast<char>(jis.second);
            i += 2;
        } else {
            if (kanji) {
                out += kKanjiOut;
                kanji = false;
            }
            out += static_cast<char>(c);
            ++i;
        }
    }
    if (kanji) out += kKanjiOut;
    return out;
}

std::string EncodeMimeWord(std::string_view text, bool quote) {
    if (text.empty()) return std::string();
    if (HasLeadByte(text)) return EncodedWord(text);
    if (quote) {
        std::string out;
        out.reserve(text.size() + 2);
        out += '"';
        out += text;
        out += '"';
        return out;
    }
    return std::string(text);
}

std::string EncodeMimeText(std::string_view text, bool quote, int limit) {
    const long long length = static_cast<long long>(text.size());
    const long long wrapper = static_cast<long long>(kWordPrefix.size() + kWordSuffix.size());
    if (length <= limit && 4 * (length / 3) + wrapper < limit) return EncodeMimeWord(text, quote);

    // Pieces are cut on character boundaries so that each encoded word is a
    // self-contained ISO-2022-JP text (RFC 2047 section 5).
    const long long budget = 3LL * (limit / 4) - wrapper;
    const long long closeAt = budget - 4;
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        do {
            const bool twoByte = IsSJISLeadByte(static_cast<unsigned char>(text[end]));
            end += twoByte ? 2 : 1;
        } while (end < text.size() && static_cast<long long>(end - pos) < closeAt);
        if (end > text.size()) end = text.size();
        if (!out.empty()) out += kFold;
        out += EncodedWord(text.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

}  // namespace quorvel
