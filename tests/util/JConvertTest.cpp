#include "util/jconvert.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "SjisReference.h"

namespace quorvel {
namespace {

using namespace std::string_literals;
using test::ReferenceConvert;
using test::Sjis;

const std::string kIn = "\x1B$B", kOut = "\x1B(B", kGeta = "\x22\x2E";

// The ISO-2022-JP text of each encoded word of a folded header value.
std::vector<std::string> DecodeWords(const std::string& header) {
    const std::string prefix = "=?iso-2022-jp?B?", suffix = "?=";
    std::vector<std::string> pieces;
    for (size_t pos = 0, fold = 0; fold != std::string::npos; pos = fold + 3) {
        fold = header.find("\r\n\t", pos);
        const std::string word = header.substr(pos, fold == std::string::npos ? fold : fold - pos);
        EXPECT_TRUE(word.rfind(prefix, 0) == 0 && word.size() >= prefix.size() + suffix.size() &&
                    word.compare(word.size() - suffix.size(), suffix.size(), suffix) == 0)
            << word;
        pieces.push_back(DecodeBase64(word.substr(prefix.size(), word.size() - prefix.size() - suffix.size())));
    }
    return pieces;
}

TEST(JConvertTest, Base64OfRfc4648VectorsAndMalformedChallenges) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\x00\xff\xfe"s, "AP/+"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(EncodeBase64(plain), encoded);
        EXPECT_EQ(DecodeBase64(encoded), plain);
    }
    // A server's challenge: blanks and line breaks are skipped, decoding
    // stops at a stray byte, a cut group or a pad that leaves no whole byte.
    const std::pair<std::string, std::string> challenges[] = {
        {"Zm9v\r\nYmFy", "foobar"}, {"Zm9v YmE=", "fooba"}, {"Zm9v*YmFy", "foo"},
        {"Zm9vYg", "foo"},          {"==Zg", ""},           {"Zg==Zm8=", "ffo"},
    };
    for (const auto& [text, plain] : challenges) EXPECT_EQ(DecodeBase64(text), plain) << text;
}

TEST(JConvertTest, SJIStoJISMatchesTheReferenceForEveryJisX0208Character) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no ISO-2022-JP reference; the Linux build compares with iconv";
#endif
    // Rows 0x85-0x87 (NEC special) and 0xED-0xEE (NEC-selected IBM) are left
    // out: iconv rejects them or maps them onto their JIS X 0208 duplicates.
    int compared = 0;
    for (int lead = 0x81; lead <= 0xEA; ++lead) {
        if ((lead >= 0x85 && lead <= 0x87) || (lead > 0x9F && lead < 0xE0)) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            const std::string sjis{static_cast<char>(lead), static_cast<char>(trail)};
            std::string expected;
            try {
                expected = ReferenceConvert(sjis, "CP932", "ISO-2022-JP");
            } catch (const std::runtime_error&) {
                continue;  // unassigned in CP932 or outside ISO-2022-JP
            }
            ASSERT_EQ(SJIStoJIS(sjis), expected) << std::hex << lead << ' ' << trail;
            ++compared;
        }
    }
    EXPECT_GT(compared, 6800);  // JIS X 0208:1990 assigns 6879 characters
}

// The cells that pass are exactly those the reference maps to a character of
// its own (not to the private use area) within the JIS grid.
TEST(JConvertTest, AssignedPairsAreThoseCp932Maps) {
    int assigned = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsSJISLeadByte(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x00; trail <= 0xFF; ++trail) {
            const std::string sjis{static_cast<char>(lead), static_cast<char>(trail)};
            std::string utf8;
            try {
                if (lead < 0xF0 && trail >= 0x40) utf8 = ReferenceConvert(sjis, "CP932", "UTF-8");
            } catch (const std::runtime_error&) {
            }
            // U+E000-U+F8FF is EE 80 80 - EF A3 BF in UTF-8.
            const bool privateUse = utf8.size() == 3 && (utf8[0] == '\xEE' || (utf8[0] == '\xEF' &&
                                                         static_cast<unsigned char>(utf8[1]) <= 0xA3));
            const bool mapped = utf8.size() >= 2 && !privateUse;
            ASSERT_EQ(IsAssignedSJISPair(static_cast<uint8_t>(lead), static_cast<uint8_t>(trail)), mapped)
                << std::hex << lead << ' ' << trail;
            assigned += mapped;
        }
    }
    EXPECT_GT(assigned, 7000);
}

// ISO-2022-JP is 7-bit text of the 94 x 94 grid: modes switch only at a
// change, whatever cannot be written so becomes the geta mark, and a byte
// that cannot be a trail byte is not swallowed by the broken lead before it.
TEST(JConvertTest, SJIStoJISGivesSevenBitTextForAnyInput) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x88\x9F\x8A\xBF", kIn + "\x30\x21\x34\x41" + kOut},
        {"\x82\xA0" "a\x82\xA0", kIn + "\x24\x22" + kOut + "a" + kIn + "\x24\x22" + kOut},
        {"a\x82", "a" + kIn + kGeta + kOut},  // lead byte cut off at the end
        {"\x82,", kIn + kGeta + kOut + ","},  // trail arithmetic gave a CR
        {"\x82)", kIn + kGeta + kOut + ")"},  // ... and an LF
        {"\x82\r\n", kIn + kGeta + kOut + "\r\n"},
        {"\x85\x40\xF0\x40\xFC\xFC", kIn + kGeta + kGeta + kGeta + kOut},  // pairs that name no character
        {"\x80\xA0\xFD\xFE\xFF", kIn + kGeta + kGeta + kGeta + kGeta + kGeta + kOut},
        {"x\x00y\x1B$Bz\x0E\x0F"s, "x" + kIn + kGeta + kOut + "y" + kIn + kGeta + kOut + "$Bz" + kIn + kGeta + kGeta + kOut},
        // Half-width katakana as their full-width letters, sound marks merged;
        // a mark after a letter that takes none stays a mark (ガパヴア゛).
        {"\xB1\xB2\xB3\xDF", kIn + "\x25\x22\x25\x24\x25\x26\x21\x2C" + kOut},
        {"\xB6\xDE\xCA\xDF\xB3\xDE\xB1\xDE", kIn + "\x25\x2C\x25\x51\x25\x74\x25\x22\x21\x2B" + kOut},
    };
    for (const auto& [sjis, jis] : cases) EXPECT_EQ(SJIStoJIS(sjis), jis) << sjis;
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
    const struct {
        std::string text;
        size_t limit, lines;
    } cases[] = {
        {std::string(998, 'x'), 998, 1},
        {std::string(999, 'x'), 998, 2},
        {kanjiRun, 998, 13},
        {"a" + kanji + "b" + kanji + kanji + "c", 12, 3},
        {"a\r\nb\rc\nd\r\r", 998, 6},
        {"", 998, 1},
        {"\x82\r\n\x82\n\x82\r", 998, 4},  // a broken lead byte before a line end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        const std::vector<std::string> lines = SJIStoJISLines(c.text, c.limit);
        EXPECT_EQ(lines.size(), c.lines);
        std::string joined, expected;
        for (const std::string& line : lines) {
            EXPECT_LE(line.size(), c.limit);
            for (char b : line) ASSERT_TRUE(b > 0 && b != '\r' && b != '\n') << line;
            const size_t lastEscape = line.rfind('\x1B');
            EXPECT_TRUE(lastEscape == std::string::npos || line.compare(lastEscape, 3, kOut) == 0) << line;
            joined += ReferenceConvert(line, "ISO-2022-JP", "CP932");
        }
        for (char b : c.text)
            if (b != '\r' && b != '\n') expected += b == '\x82' ? "\x81\xAC" : std::string(1, b);
        EXPECT_EQ(joined, expected);
    }
}

// Each encoded word holds at most 35 bytes of text (76 columns), cut at a
// character, and is complete ISO-2022-JP on its own (RFC 2047 section 5).
TEST(JConvertTest, EncodeMimeTextSplitsAtCharactersIntoSelfContainedWords) {
    std::string ascii71;
    for (int i = 0; i < 71; ++i) ascii71 += static_cast<char>('0' + i % 43);
    const std::string reaching35 = std::string(34, 'a') + Sjis(u8"障") + std::string(20, 'b');
    const struct {
        std::string text;
        std::vector<std::string> pieces;  // empty: one word, as EncodeMimeWord gives
    } cases[] = {
        {ascii71.substr(0, 44), {}},
        {ascii71.substr(0, 45), {ascii71.substr(0, 35), ascii71.substr(35, 10)}},
        {ascii71, {ascii71.substr(0, 35), ascii71.substr(35, 35), ascii71.substr(70)}},
        {reaching35, {SJIStoJIS(reaching35.substr(0, 36)), reaching35.substr(36)}},
        // A lead byte cut off at the very end drags in no byte past the text.
        {std::string(50, 'x') + "\x82", {std::string(35, 'x'), std::string(15, 'x') + kIn + kGeta + kOut}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.size());
        for (bool quote : {false, true}) {
            const std::string header = EncodeMimeText(c.text, quote, 76);
            if (c.pieces.empty()) {
                EXPECT_EQ(header, EncodeMimeWord(c.text, quote));
            } else {
                EXPECT_EQ(DecodeWords(header), c.pieces);
            }
        }
    }
#ifndef _WIN32
    const std::string subject = Sjis(u8"【重要】サーバ db02 のディスク使用率が閾値を超えました (95%) 至急確認してください");
    for (int limit : {76, 40, 100, 24, 0, -8}) {
        std::string joined;
        for (const auto& jis : DecodeWords(EncodeMimeText(subject, false, limit)))
            joined += ReferenceConvert(jis, "ISO-2022-JP", "CP932");
        EXPECT_EQ(joined, subject) << limit;
    }
#endif
}

}  // namespace
}  // namespace quorvel
