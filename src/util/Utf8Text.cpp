#include "util/Utf8Text.h"

#include <algorithm>
#include <cstdint>

#include "util/Chars.h"

namespace quorvel {

namespace {

bool IsContinuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

// The well-formed ranges of Unicode 15 table 3-7: the second byte's range
// is what rules out overlong forms, surrogates and code points past U+10FFFF.
struct TSecondByte {
    unsigned char low, high;
};

// Continuation bytes a lead byte needs (0 for no valid lead), and the range
// its first continuation byte must lie in.
int ContinuationCount(unsigned char lead, TSecondByte& second) {
    second = {0x80, 0xBF};
    if (lead >= 0xC2 && lead <= 0xDF) return 1;
    if (lead == 0xE0) second = {0xA0, 0xBF};
    if (lead == 0xED) second = {0x80, 0x9F};
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead == 0xF0) second = {0x90, 0xBF};
    if (lead == 0xF4) second = {0x80, 0x8F};
    if (lead >= 0xF0 && lead <= 0xF4) return 3;
    return 0;
}

// Bytes of the ill-formed piece at pos: the lead byte and the continuation
// bytes that still fitted before the sequence went wrong.
size_t IllFormedLength(std::string_view text, size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    TSecondByte second{};
    const int count = ContinuationCount(lead, second);
    size_t length = 1;
    for (int k = 0; k < count && pos + length < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[pos + length]);
        if (k == 0 ? (c < second.low || c > second.high) : !IsContinuation(c)) break;
        ++length;
    }
    return length;
}

uint32_t DecodeAt(std::string_view text, size_t pos, size_t length) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) cp = cp << 6 | (static_cast<unsigned char>(text[pos + k]) & 0x3F);
    return cp;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

struct TVariant {
    uint32_t jis, cp932;
};
constexpr TVariant kJisVariants[] = {
    {0x00A2, 0xFFE0},  // CENT SIGN
    {0x00A3, 0xFFE1},  // POUND SIGN
    {0x00AC, 0xFFE2},  // NOT SIGN
    {0x2014, 0x2015},  // EM DASH, HORIZONTAL BAR
    {0x2016, 0x2225},  // DOUBLE VERTICAL LINE, PARALLEL TO
    {0x2212, 0xFF0D},  // MINUS SIGN
    {0x301C, 0xFF5E},  // WAVE DASH, FULLWIDTH TILDE
};

// Linear place of a pair within the trail byte ranges 0x40-0x7E, 0x80-0xFC
// (188 per lead byte), and back.
int PairIndex(unsigned char lead, unsigned char trail) { return lead * 188 + trail - (trail < 0x80 ? 0x40 : 0x41); }
void IndexToPair(int index, std::string& out) {
    const int trail = index % 188;
    out += static_cast<char>(index / 188);
    out += static_cast<char>(trail + (trail < 0x3F ? 0x40 : 0x41));
}

// The IBM extensions before the kanji (0xFA40-0xFA5B) and their twins.
constexpr uint16_t kIbmSymbols[] = {
    0xEEEF, 0xEEF0, 0xEEF1, 0xEEF2, 0xEEF3, 0xEEF4, 0xEEF5, 0xEEF6, 0xEEF7, 0xEEF8,  // small roman numerals
    0x8754, 0x8755, 0x8756, 0x8757, 0x8758, 0x8759, 0x875A, 0x875B, 0x875C, 0x875D,  // roman numerals
    0x81CA, 0xEEFA, 0xEEFB, 0xEEFC, 0x878A, 0x8782, 0x8784, 0x81E6,
};
static_assert(sizeof(kIbmSymbols) / sizeof(kIbmSymbols[0]) == 0x5C - 0x40, "one twin per symbol");

}  // namespace

size_t Utf8CharLength(std::string_view text, size_t pos) {
    if (pos >= text.size()) return 0;
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) return 1;
    TSecondByte second{};
    const int count = ContinuationCount(lead, second);
    if (count == 0) return 0;
    return IllFormedLength(text, pos) == static_cast<size_t>(count) + 1 ? static_cast<size_t>(count) + 1 : 0;
}

uint32_t Utf8CodePoint(std::string_view text, size_t pos) {
    return DecodeAt(text, pos, std::max<size_t>(Utf8CharLength(text, pos), 1));
}

TTextCharset DetectTextCharset(std::string_view bytes) {
    if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) return TTextCharset::Utf8;
    bool multiByte = false;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t length = Utf8CharLength(bytes, pos);
        if (length == 0) return TTextCharset::Sjis;
        multiByte = multiByte || length > 1;
        pos += length;
    }
    return multiByte ? TTextCharset::Utf8 : TTextCharset::Sjis;
}

std::string CleanUtf8(std::string_view text, std::string_view replacement) {
    // What stays goes over in runs: most texts need no change at all.
    std::string out;
    out.reserve(text.size());
    size_t run = 0, pos = 0;
    while (pos < text.size()) {
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const size_t length = Utf8CharLength(text, pos);
        if (length != 0 && text.compare(pos, length, kUtf8Bom) != 0) {
            pos += length;
            continue;
        }
        out.append(text, run, pos - run);
        if (length == 0) {
            out += replacement;
            pos += IllFormedLength(text, pos);
        } else {
            pos += length;
        }
        run = pos;
    }
    out.append(text, run, text.size() - run);
    return out;
}

std::string FoldJisVariants(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t run = 0, pos = 0;
    while (pos < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[pos]);
        const size_t length = std::max<size_t>(Utf8CharLength(utf8, pos), 1);
        // Every variant starts with one of these lead bytes.
        const TVariant* variant = nullptr;
        if (lead == 0xC2 || lead == 0xE2 || lead == 0xE3) {
            const uint32_t cp = DecodeAt(utf8, pos, length);
            for (const TVariant& v : kJisVariants) {
                if (v.jis == cp) variant = &v;
            }
        }
        if (variant != nullptr) {
            out.append(utf8, run, pos - run);
            AppendUtf8(out, variant->cp932);
            run = pos + length;
        }
        pos += length;
    }
    out.append(utf8, run, utf8.size() - run);
    return out;
}

std::string FoldIbmExtensions(std::string_view sjis) {
    static const int kFirstSymbol = PairIndex(0xFA, 0x40);
    static const int kFirstKanji = PairIndex(0xFA, 0x5C);
    static const int kLastKanji = PairIndex(0xFC, 0x4B);
    static const int kFirstTwin = PairIndex(0xED, 0x40);
    std::string out;
    out.reserve(sjis.size());
    size_t run = 0, pos = 0;
    while (pos < sjis.size()) {
        const auto lead = static_cast<unsigned char>(sjis[pos]);
        const auto trail = pos + 1 < sjis.size() ? static_cast<unsigned char>(sjis[pos + 1]) : 0;
        const bool pair = IsSJISLeadByte(lead) && trail >= 0x40 && trail <= 0xFC && trail != 0x7F;
        if (!pair) {
            ++pos;
            continue;
        }
        const int index = lead >= 0xFA ? PairIndex(lead, trail) : -1;
        if (index >= kFirstSymbol && index <= kLastKanji) {
            out.append(sjis, run, pos - run);
            if (index < kFirstKanji) {
                const uint16_t twin = kIbmSymbols[index - kFirstSymbol];
                out += static_cast<char>(twin >> 8);
                out += static_cast<char>(twin & 0xFF);
            } else {
                // The 360 kanji lie in the same order in both places.
                IndexToPair(kFirstTwin + index - kFirstKanji, out);
            }
            run = pos + 2;
        }
        pos += 2;
    }
    out.append(sjis, run, sjis.size() - run);
    return out;
}

}  // namespace quorvel
