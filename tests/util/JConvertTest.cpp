#include "util/jconvert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SjisReference.h"

namespace quorvel {
namespace {

using namespace std::string_literals;
using test::Sjis;

const std::string kIn = "\x1B$B", kOut = "\x1B(B", kGeta = "\x22\x2E";

// Encoded words of the ISO-2022-JP pieces, folded as a header value.
std::string Words(const std::vector<std::string>& pieces) {
    std::string out;
    for (const std::string& jis : pieces)
        out += (out.empty() ? "" : "\r\n\t") + ("=?iso-2022-jp?B?" + EncodeBase64(jis) + "?=");
    return out;
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
    // Challenges: line breaks between groups pass; a stray, a cut group or an early pad ends it.
    const std::pair<std::string, std::string> challenges[] = {
        {"Zm9v\r\n YmE=", "fooba"}, {"Zm9v*YmFy", "foo"}, {"Zm9vYg", "foo"}, {"==Zg", ""}};
    for (const auto& [text, plain] : challenges) EXPECT_EQ(DecodeBase64(text), plain) << text;
}

// ISO-2022-JP is 7-bit text of the 94 x 94 grid: modes switch only at a
// change, whatever cannot be written so becomes the geta mark, and a byte
// that cannot be a trail byte is not swallowed by the broken lead before it.
TEST(JConvertTest, SJIStoJISGivesSevenBitTextForAnyInput) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x88\x9F\x8A\xBF", kIn + "\x30\x21\x34\x41" + kOut},
        {"\x82\xA0" "a\x82\xA0", kIn + "\x24\x22" + kOut + "a" + kIn + "\x24\x22" + kOut},
        {"\x82,\x82)", kIn + kGeta + kOut + "," + kIn + kGeta + kOut + ")"},  // trail arithmetic gave CR, LF
        {"\x82\r\n", kIn + kGeta + kOut + "\r\n"},
        {"\xFC\xFC", kIn + kGeta + kOut},  // a pair that names no character
        {"x\x00y\x1B$Bz\x0E\x0F"s, "x" + kIn + kGeta + kOut + "y" + kIn + kGeta + kOut + "$Bz" + kIn + kGeta + kGeta + kOut},
        // Half-width katakana as their full-width letters, sound marks merged;
        // a mark after a letter that takes none stays a mark (ガパヴア゛).
        {"\xB1\xB2\xB3\xDF", kIn + "\x25\x22\x25\x24\x25\x26\x21\x2C" + kOut},
        {"\xB6\xDE\xCA\xDF\xB3\xDE\xB1\xDE", kIn + "\x25\x2C\x25\x51\x25\x74\x25\x22\x21\x2B" + kOut},
    };
    for (const auto& [sjis, jis] : cases) EXPECT_EQ(SJIStoJIS(sjis), jis) << sjis;
}

// Wire lines: split at every line end, folded at a character so that none
// exceeds the limit, each back in ASCII mode at its end (RFC 1468).
TEST(JConvertTest, SJIStoJISLinesFoldsAtCharactersAndClosesEscapes) {
    const std::string kanji = "\x8F\xE1\x8A\x51", jis = kIn + ">c32" + kOut;  // 障害
    const std::string x997(997, 'x'), geta = kIn + kGeta + kOut;
    const struct {
        std::string text;
        size_t limit;
        std::vector<std::string> lines;
    } cases[] = {
        {x997 + "x", 998, {x997 + "x"}},
        {x997 + "xx", 998, {x997 + "x", "x"}},
        {x997 + kanji, 998, {x997, jis}},
        {"a" + kanji + "b" + kanji + kanji + "c", 12, {"a" + jis + "b", kIn + ">c32>c" + kOut, kIn + "32" + kOut + "c"}},
        {"a\r\nb\rc\nd\r\r", 998, {"a", "b", "c", "d", "", ""}},
        {"\x82\r\n\x82\n\x82\r", 998, {geta, geta, geta, ""}},  // a broken lead byte before a line end
    };
    for (const auto& c : cases) EXPECT_EQ(SJIStoJISLines(c.text, c.limit), c.lines) << c.text.substr(0, 20);
}

// Each encoded word holds at most 35 bytes of text (76 columns), cut at a
// character, and is complete ISO-2022-JP on its own (RFC 2047 section 5).
TEST(JConvertTest, EncodeMimeTextSplitsAtCharactersIntoSelfContainedWords) {
    std::string ascii71;
    for (int i = 0; i < 71; ++i) ascii71 += static_cast<char>('0' + i % 43);
    const std::string reaching35 = std::string(34, 'a') + Sjis(u8"障") + std::string(20, 'b');
    const struct {
        std::string text;
        std::vector<std::string> pieces;
    } cases[] = {
        {reaching35.substr(0, 36), {SJIStoJIS(reaching35.substr(0, 36))}},
        {ascii71, {ascii71.substr(0, 35), ascii71.substr(35, 35), ascii71.substr(70)}},
        {reaching35, {SJIStoJIS(reaching35.substr(0, 36)), reaching35.substr(36)}},
        // A lead byte cut off at the very end drags in no byte past the text.
        {std::string(50, 'x') + "\x82", {std::string(35, 'x'), std::string(15, 'x') + kIn + kGeta + kOut}},
    };
    for (const auto& c : cases) EXPECT_EQ(EncodeMimeText(c.text, 76), Words(c.pieces)) << c.text.size();
    // Printable ASCII and TAB that fit stay as they are.
    EXPECT_EQ(EncodeMimeText(ascii71.substr(0, 43) + "\t", 76), ascii71.substr(0, 43) + "\t");
}

}  // namespace
}  // namespace quorvel
