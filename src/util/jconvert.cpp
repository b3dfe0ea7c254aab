#include "util/jconvert.h"

#include <algorithm>
#include <array>

#include "util/Utf8Text.h"

namespace quorvel {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

constexpr std::string_view kWordPrefix = "=?iso-2022-jp?B?";
constexpr std::string_view kUtf8WordPrefix = "=?utf-8?B?";
constexpr std::string_view kWordSuffix = "?=";
// RFC 5322 2.2.3 folding: the next encoded word continues on a TAB-indented line.
constexpr std::string_view kFold = "\r\n\t";
constexpr std::string_view kKanjiIn = "\x1B$B";
constexpr std::string_view kKanjiOut = "\x1B(B";

// -1 for anything outside the RFC 4648 section 4 alphabet.
constexpr std::array<int8_t, 256> MakeDecodeTable() {
    std::array<int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

// The geta mark, the conventional stand-in for a character that cannot be shown.
constexpr std::pair<uint8_t, uint8_t> kGeta{0x22, 0x2E};

// The cells of the 94 x 94 JIS grid that code page 932 fills: JIS X 0208,
// the NEC special characters of row 13 and the NEC-selected IBM extensions
// of rows 89-92. Any other cell names no character a reader can show.
struct TJisCells {
    uint8_t firstRow, lastRow, firstCell, lastCell;
};
constexpr TJisCells kAssignedCells[] = {
    {0x21, 0x21, 0x21, 0x7E}, {0x22, 0x22, 0x21, 0x2E}, {0x22, 0x22, 0x3A, 0x41}, {0x22, 0x22, 0x4A, 0x50},
    {0x22, 0x22, 0x5C, 0x6A}, {0x22, 0x22, 0x72, 0x79}, {0x22, 0x22, 0x7E, 0x7E}, {0x23, 0x23, 0x30, 0x39},
    {0x23, 0x23, 0x41, 0x5A}, {0x23, 0x23, 0x61, 0x7A}, {0x24, 0x24, 0x21, 0x73}, {0x25, 0x25, 0x21, 0x76},
    {0x26, 0x26, 0x21, 0x38}, {0x26, 0x26, 0x41, 0x58}, {0x27, 0x27, 0x21, 0x41}, {0x27, 0x27, 0x51, 0x71},
    {0x28, 0x28, 0x21, 0x40}, {0x2D, 0x2D, 0x21, 0x3E}, {0x2D, 0x2D, 0x40, 0x56}, {0x2D, 0x2D, 0x5F, 0x7C},
    {0x30, 0x4E, 0x21, 0x7E}, {0x4F, 0x4F, 0x21, 0x53}, {0x50, 0x73, 0x21, 0x7E}, {0x74, 0x74, 0x21, 0x26},
    {0x79, 0x7B, 0x21, 0x7E}, {0x7C, 0x7C, 0x21, 0x6E}, {0x7C, 0x7C, 0x71, 0x7E},
};

// kAssignedCells as one bit per cell, row-major from row and cell 0x21.
constexpr std::array<uint8_t, (94 * 94 + 7) / 8> MakeAssignedBits() {
    std::array<uint8_t, (94 * 94 + 7) / 8> bits{};
    for (const TJisCells& cells : kAssignedCells)
        for (int row = cells.firstRow; row <= cells.lastRow; ++row)
            for (int cell = cells.firstCell; cell <= cells.lastCell; ++cell) {
                const int index = (row - 0x21) * 94 + (cell - 0x21);
                bits[static_cast<size_t>(index / 8)] = static_cast<uint8_t>(bits[static_cast<size_t>(index / 8)] | 1 << (index % 8));
            }
    return bits;
}
constexpr std::array<uint8_t, (94 * 94 + 7) / 8> kAssignedBits = MakeAssignedBits();

// JIS X 0208 codes of the full-width forms of the half-width katakana 0xA1-0xDF.
constexpr uint16_t kHalfWidthKana[] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529, 0x2563, 0x2565,
    0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F, 0x2531, 0x2533,
    0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C,
    0x254D, 0x254E, 0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564,
    0x2566, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,
};
static_assert(sizeof(kHalfWidthKana) / sizeof(kHalfWidthKana[0]) == 0xDF - 0xA1 + 1, "one code per katakana byte");

// One character of a Shift_JIS text as ISO-2022-JP writes it; length is
// the count of input bytes it took.
struct TJisChar {
    enum Kind { Ascii, Kanji, LineEnd } kind;
    uint8_t first, second;
    size_t length;
};

bool IsBase64Blank(char c) { return c == '\r' || c == '\n' || c == ' '; }

// A header may carry only printable ASCII and TAB as it stands (RFC 5322
// 2.2); a line end in it would even start a header of the sender's choosing.
bool NeedsEncodedWord(std::string_view text) {
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x7F || (b < 0x20 && b != '\t')) return true;
    }
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
    // rows, the trail byte range 0x9F-0xFC selecting the even one. Only
    // meaningful for a pair that IsAssignedSJISPair accepts.
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

bool IsAssignedSJISPair(uint8_t lead, uint8_t trail) {
    if (!IsSJISLeadByte(lead) || lead >= 0xF0 || trail < 0x40 || trail == 0x7F || trail > 0xFC) return false;
    // Lead bytes 0x81-0xEF and the trail bytes above give rows and cells
    // 0x21-0x7E only.
    const auto jis = SJISCharToJIS(lead, trail);
    const int index = (jis.first - 0x21) * 94 + (jis.second - 0x21);
    return (kAssignedBits[static_cast<size_t>(index / 8)] >> (index % 8) & 1) != 0;
}

namespace {

TJisChar NextJisChar(std::string_view sjis, size_t pos) {
    const auto c = static_cast<unsigned char>(sjis[pos]);
    if (c == '\r' || c == '\n') {
        const bool crlf = c == '\r' && pos + 1 < sjis.size() && sjis[pos + 1] == '\n';
        return {TJisChar::LineEnd, c, 0, crlf ? 2u : 1u};
    }
    if (c < 0x80) {
        // NUL may not appear in a 7bit body (RFC 2045 2.7), and ESC, SO and
        // SI would switch the reader's character set in mid-text.
        if (c == 0x00 || c == 0x1B || c == 0x0E || c == 0x0F) return {TJisChar::Kanji, kGeta.first, kGeta.second, 1};
        return {TJisChar::Ascii, c, 0, 1};
    }
    if (c >= 0xA1 && c <= 0xDF) {
        // ISO-2022-JP has no half-width katakana; mailers write them as the
        // full-width letters, a following sound mark merged into its letter.
        unsigned code = kHalfWidthKana[c - 0xA1];
        size_t length = 1;
        if (pos + 1 < sjis.size()) {
            const auto mark = static_cast<unsigned char>(sjis[pos + 1]);
            if (mark == 0xDE && c == 0xB3) {
                code = 0x2574;  // VU
                length = 2;
            } else if (mark == 0xDE && ((c >= 0xB6 && c <= 0xC4) || (c >= 0xCA && c <= 0xCE))) {
                code += 1;
                length = 2;
            } else if (mark == 0xDF && c >= 0xCA && c <= 0xCE) {
                code += 2;
                length = 2;
            }
        }
        return {TJisChar::Kanji, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code & 0xFF), length};
    }
    if (IsSJISLeadByte(c) && pos + 1 < sjis.size()) {
        const auto trail = static_cast<unsigned char>(sjis[pos + 1]);
        if (IsAssignedSJISPair(c, trail)) {
            const auto jis = SJISCharToJIS(c, trail);
            return {TJisChar::Kanji, jis.first, jis.second, 2};
        }
        // A pair of lead and trail byte that names no character is one
        // unknown character; a byte that cannot be a trail byte (a line end,
        // a comma) belongs to what follows, not to the broken lead byte.
        if (trail >= 0x40 && trail != 0x7F && trail <= 0xFC) return {TJisChar::Kanji, kGeta.first, kGeta.second, 2};
    }
    return {TJisChar::Kanji, kGeta.first, kGeta.second, 1};
}

}  // namespace

std::string SJIStoJIS(std::string_view sjis) {
    std::string out;
    out.reserve(sjis.size() + 8);
    bool kanji = false;
    size_t i = 0;
    while (i < sjis.size()) {
        TJisChar ch = NextJisChar(sjis, i);
        if (ch.kind == TJisChar::LineEnd) {
            ch.kind = TJisChar::Ascii;  // a line end inside one text is data here
            ch.length = 1;
        }
        const bool wantKanji = ch.kind == TJisChar::Kanji;
        if (wantKanji != kanji) {
            out += wantKanji ? kKanjiIn : kKanjiOut;
            kanji = wantKanji;
        }
        out += static_cast<char>(ch.first);
        if (wantKanji) out += static_cast<char>(ch.second);
        i += ch.length;
    }
    if (kanji) out += kKanjiOut;
    return out;
}

std::vector<std::string> SJIStoJISLines(std::string_view sjis, size_t maxBytes) {
    // The widest character costs an escape in, its two bytes and an escape out.
    maxBytes = std::max(maxBytes, 2 * kKanjiIn.size() + 2);
    std::vector<std::string> lines(1);
    bool kanji = false;
    auto endLine = [&]() {
        if (kanji) lines.back() += kKanjiOut;
        kanji = false;
        lines.emplace_back();
    };
    lines.back().reserve(std::min(maxBytes, sjis.size() + 8));
    size_t i = 0;
    while (i < sjis.size()) {
        const TJisChar ch = NextJisChar(sjis, i);
        i += ch.length;
        if (ch.kind == TJisChar::LineEnd) {
            endLine();
            continue;
        }
        const bool wantKanji = ch.kind == TJisChar::Kanji;
        auto cost = [&]() {
            size_t n = wantKanji ? 2 : 1;
            if (wantKanji != kanji) n += kKanjiIn.size();
            // A line in kanji mode must still have room to switch back.
            if (wantKanji) n += kKanjiOut.size();
            return n;
        };
        if (lines.back().size() + cost() > maxBytes) endLine();
        std::string& line = lines.back();
        if (wantKanji != kanji) {
            line += wantKanji ? kKanjiIn : kKanjiOut;
            kanji = wantKanji;
        }
        line += static_cast<char>(ch.first);
        if (wantKanji) line += static_cast<char>(ch.second);
    }
    if (kanji) lines.back() += kKanjiOut;
    return lines;
}

std::string EncodeMimeWord(std::string_view text) {
    return NeedsEncodedWord(text) ? EncodedWord(text) : std::string(text);
}

std::string EncodeMimeText(std::string_view text, int limit) {
    const long long length = static_cast<long long>(text.size());
    const long long wrapper = static_cast<long long>(kWordPrefix.size() + kWordSuffix.size());
    if (length <= limit && 4 * (length / 3) + wrapper < limit) return EncodeMimeWord(text);

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

std::string EncodeMimeTextUtf8(std::string_view utf8, int limit) {
    if (!NeedsEncodedWord(utf8) && static_cast<long long>(utf8.size()) <= limit) return std::string(utf8);
    // Bytes of text per word, so that prefix, Base64 and suffix fit the limit.
    const long long wrapper = static_cast<long long>(kUtf8WordPrefix.size() + kWordSuffix.size());
    const size_t budget = static_cast<size_t>(std::max(3LL * ((limit - wrapper) / 4), 4LL));
    std::string out;
    size_t pos = 0;
    while (pos < utf8.size()) {
        size_t end = pos;
        while (end < utf8.size()) {
            // A stray byte is a piece of its own; the caller hands over clean text.
            const size_t length = std::max<size_t>(Utf8CharLength(utf8, end), 1);
            if (end > pos && end + length - pos > budget) break;
            end += length;
        }
        if (!out.empty()) out += kFold;
        out += kUtf8WordPrefix;
        out += EncodeBase64(utf8.substr(pos, end - pos));
        out += kWordSuffix;
        pos = end;
    }
    return out;
}

}  // namespace quorvel
