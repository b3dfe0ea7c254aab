#include "util/jconvert.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "SjisReference.h"

namespace quorvel {
namespace {

using namespace std::string_literals;
using test::IconvConvert;
using test::Sjis;

const std::string kPrefix = "=?iso-2022-jp?B?";
const std::string kSuffix = "?=";

// Splits a folded header value into its encoded words and returns the
// ISO-2022-JP text each one carries.
std::vector<std::string> DecodeWords(const std::string& header) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    for (;;) {
        const size_t fold = header.find("\r\n\t", pos);
        const std::string word = header.substr(pos, fold == std::string::npos ? std::string::npos : fold - pos);
        EXPECT_EQ(word.rfind(kPrefix, 0), 0u) << word;
        EXPECT_GE(word.size(), kPrefix.size() + kSuffix.size());
        EXPECT_EQ(word.substr(word.size() - kSuffix.size()), kSuffix) << word;
        pieces.push_back(DecodeBase64(word.substr(kPrefix.size(), word.size() - kPrefix.size() - kSuffix.size())));
        if (fold == std::string::npos) return pieces;
        pos = fold + 3;
    }
}

TEST(JConvertTest, Base64RoundTripsRfc4648VectorsAndAllBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\x00\xff\xfe"s, "AP/+"},
    };
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(EncodeBase64(plain), encoded);
        EXPECT_EQ(DecodeBase64(encoded), plain);
    }
    std::string all;
    for (int i = 0; i < 256 * 4; ++i) all += static_cast<char>(i);
    const std::string encoded = EncodeBase64(all);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(DecodeBase64(encoded), all);
}

TEST(JConvertTest, DecodeBase64StaysBoundedOnRandomInput) {
    // A server's challenge may be malformed: pads, blanks and strays in every
    // arrangement; the sanitizer build catches any access past the buffers.
    const std::string alphabet = "AQgw+/9z==  \r\n*\x00\xff"s;
    std::mt19937 rng(20240601);
    for (int round = 0; round < 20000; ++round) {
        std::string text(rng() % 41, ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        size_t data = 0;
        for (char c : text)
            if (c != '\r' && c != '\n' && c != ' ' && c != '=') ++data;
        const size_t bound = 3 * (data / 4) + (data % 4 > 1 ? data % 4 - 1 : 0);
        ASSERT_LE(DecodeBase64(text).size(), bound) << text;
    }
}

TEST(JConvertTest, SJIStoJISMatchesIconvForEveryJisX0208Character) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no ISO-2022-JP reference; the Linux build compares with iconv";
#endif
    // Lead bytes 0x81-0x84, 0x88-0x9F and 0xE0-0xEA hold JIS X 0208; 0x85-0x87
    // are the NEC special rows and 0xED-0xEE the NEC-selected IBM extensions,
    // which iconv either rejects or maps onto their JIS X 0208 duplicates.
    int compared = 0;
    for (int lead = 0x81; lead <= 0xEF; ++lead) {
        if ((lead >= 0x85 && lead <= 0x87) || (lead > 0x9F && lead < 0xE0) || lead >= 0xEB) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const std::string sjis{static_cast<char>(lead), static_cast<char>(trail)};
            std::string expected;
            try {
                expected = IconvConvert(sjis, "CP932", "ISO-2022-JP");
            } catch (const std::runtime_error&) {
                continue;  // unassigned in CP932 or outside ISO-2022-JP
            }
            ASSERT_EQ(SJIStoJIS(sjis), expected) << std::hex << lead << ' ' << trail;
            ++compared;
        }
    }
    // JIS X 0208:1990 assigns 6879 characters; a few CP932 mappings differ.
    EXPECT_GT(compared, 6800);
}

TEST(JConvertTest, SJIStoJISSwitchesModesOnlyAtChanges) {
    const std::string in = "\x1B$B", out = "\x1B(B";
    const std::pair<std::string, std::string> cases[] = {
        {"\x88\x9F\x8A\xBF", in + "\x30\x21\x34\x41" + out},
        {"\x82\xA0" "a\x82\xA0", in + "\x24\x22" + out + "a" + in + "\x24\x22" + out},
    };
    for (const auto& [sjis, jis] : cases) EXPECT_EQ(SJIStoJIS(sjis), jis);
}

// ISO-2022-JP is 7-bit text of the 94 x 94 grid: whatever cannot be written
// so becomes the geta mark, and a byte that cannot be a trail byte is not
// swallowed by the broken lead byte before it.
TEST(JConvertTest, SJIStoJISGivesSevenBitTextForAnyInput) {
    const std::string in = "\x1B$B", out = "\x1B(B", geta = "\x22\x2E";
    const std::pair<std::string, std::string> cases[] = {
        {"a\x82", "a" + in + geta + out},                 // lead byte cut off at the end
        {"\x82,", in + geta + out + ","},                   // trail arithmetic gave a CR
        {"\x82)", in + geta + out + ")"},                   // ... and an LF
        {"\x82\r\n", in + geta + out + "\r\n"},
        {"\x85\x40\xF0\x40\xFC\xFC", in + geta + geta + geta + out},  // pairs that name no character
        {"\x80\xA0\xFD\xFE\xFF", in + geta + geta + geta + geta + geta + out},
        {"x\x00y\x1B$Bz\x0E\x0F"s, "x" + in + geta + out + "y" + in + geta + out + "$Bz" + in + geta + geta + out},
        // Half-width katakana as their full-width letters, sound marks merged.
        {"\xB1\xB2\xB3\xDF", in + "\x25\x22\x25\x24\x25\x26\x21\x2C" + out},
        // ガパヴア゛: a mark after a letter that takes none stays a mark.
        {"\xB6\xDE\xCA\xDF\xB3\xDE\xB1\xDE", in + "\x25\x2C\x25\x51\x25\x74\x25\x22\x21\x2B" + out},
    };
    for (const auto& [sjis, jis] : cases) EXPECT_EQ(SJIStoJIS(sjis), jis) << sjis;
}

// The cells that pass are exactly those the C library's CP932 maps to a
// character of its own (not to the private use area) within the JIS grid.
TEST(JConvertTest, AssignedPairsAreThoseCp932Maps) {
    int assigned = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsSJISLeadByte(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x00; trail <= 0xFF; ++trail) {
            const std::string sjis{static_cast<char>(lead), static_cast<char>(trail)};
            bool mapped = false;
            if (lead < 0xF0 && trail >= 0x40) {
                try {
                    const std::string utf8 = IconvConvert(sjis, "CP932", "UTF-8");
                    // U+E000-U+F8FF is EE 80 80 - EF A3 BF in UTF-8.
                    const bool privateUse = utf8.size() == 3 && ((utf8[0] == '\xEE') ||
                                                                 (utf8[0] == '\xEF' && static_cast<unsigned char>(utf8[1]) <= 0xA3));
                    mapped = utf8.size() >= 2 && !privateUse;
                } catch (const std::runtime_error&) {
                }
            }
            ASSERT_EQ(IsAssignedSJISPair(static_cast<uint8_t>(lead), static_cast<uint8_t>(trail)), mapped)
                << std::hex << lead << ' ' << trail;
            assigned += mapped;
        }
    }
    EXPECT_GT(assigned, 7000);
}

// Every wire line within its limit, 7-bit, free of CR and LF, in ASCII mode
// at its end, and the lines put back together read as the input.
TEST(JConvertTest, SJIStoJISLinesFoldsAtCharactersAndClosesEscapes) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no ISO-2022-JP reference; the Linux build compares with iconv";
#endif
    const std::string kanji = Sjis(u8"障害");
    std::string kanjiRun;
    for (int i = 0; i < 3000; ++i) kanjiRun += kanji;
    struct {
        std::string text;
        size_t limit;
        size_t lines;
    } const cases[] = {
        {std::string(32006, 'x'), 998, 33},
        {std::string(998, 'x'), 998, 1},
        {std::string(999, 'x'), 998, 2},
        {kanjiRun, 998, 13},
        {"a" + kanji + "b" + kanji + kanji + "c", 12, 3},
        {"a\r\nb\rc\nd\r\r", 998, 6},
        {"", 998, 1},
        // A broken lead byte before a line end: a line end, not a bare byte.
        {"\x82\r\n\x82\n\x82\r", 998, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        const std::vector<std::string> lines = SJIStoJISLines(c.text, c.limit);
        EXPECT_EQ(lines.size(), c.lines);
        std::string joined;
        for (const std::string& line : lines) {
            EXPECT_LE(line.size(), c.limit);
            for (char b : line) ASSERT_TRUE(b > 0 && b != '\r' && b != '\n') << line;
            const size_t lastEscape = line.rfind('\x1B');
            if (lastEscape != std::string::npos) {
                EXPECT_EQ(line.compare(lastEscape, 3, "\x1B(B"), 0) << line;
            }
            joined += IconvConvert(line, "ISO-2022-JP", "CP932");
        }
        std::string withoutLineEnds;
        for (char b : c.text)
            if (b != '\r' && b != '\n') withoutLineEnds += b == '\x82' ? std::string("\x81\xAC") : std::string(1, b);
        EXPECT_EQ(joined, withoutLineEnds);
    }
}

TEST(JConvertTest, EncodeMimeTextSplitsLongTextsAtLimit76) {
    std::string ascii71;
    for (int i = 0; i < 71; ++i) ascii71 += static_cast<char>('0' + i % 43);
    const std::string kanji = Sjis(u8"障");
    const std::string reaching35 = std::string(34, 'a') + kanji + std::string(20, 'b');
    struct {
        std::string text;
        std::vector<std::string> pieces;  // empty: not split
    } const cases[] = {
        {ascii71.substr(0, 44), {}},
        {ascii71.substr(0, 45), {ascii71.substr(0, 35), ascii71.substr(35, 10)}},
        {ascii71, {ascii71.substr(0, 35), ascii71.substr(35, 35), ascii71.substr(70)}},
        {reaching35, {SJIStoJIS(reaching35.substr(0, 36)), reaching35.substr(36)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.size());
        for (bool quote : {false, true}) {
            const std::string header = EncodeMimeText(c.text, quote, 76);
            if (c.pieces.empty())
                EXPECT_EQ(header, EncodeMimeWord(c.text, quote));
            else
                EXPECT_EQ(DecodeWords(header), c.pieces);
        }
    }
    // An encoded word already in the text is only data: it is cut and encoded again.
    const std::string word = EncodeMimeWord(Sjis(u8"障害発生のお知らせ"), false);
    ASSERT_GE(word.size(), 45u);
    EXPECT_EQ(DecodeWords(EncodeMimeText(word, false, 76)).front(), word.substr(0, 35));
}

TEST(JConvertTest, EncodeMimeTextPiecesReassembleToTheText) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no ISO-2022-JP reference; the Linux build compares with iconv";
#endif
    // Each word must be complete ISO-2022-JP on its own (RFC 2047 section 5);
    // iconv turns it back into the original Shift_JIS piece by piece.
    const std::string subject = Sjis(u8"【重要】サーバ db02 のディスク使用率が閾値を超えました (95%) 至急確認してください");
    for (int limit : {76, 40, 100, 24, 0, -8}) {
        SCOPED_TRACE(limit);
        std::string joined;
        for (const auto& jis : DecodeWords(EncodeMimeText(subject, false, limit)))
            joined += IconvConvert(jis, "ISO-2022-JP", "CP932");
        EXPECT_EQ(joined, subject);
    }
    // A lead byte cut off at the very end must not drag in a byte past the text.
    const std::string truncated = std::string(50, 'x') + "\x82";
    const auto pieces = DecodeWords(EncodeMimeText(truncated, false, 76));
    EXPECT_EQ(pieces.back(), std::string(15, 'x') + "\x1B$B\x22\x2E\x1B(B");
}

}  // namespace
}  // namespace quorvel
