#include "util/Utf8Text.h"

#include <gtest/gtest.h>

#include <string>

#include "SjisReference.h"

namespace quorvel {
namespace {

// The message charset rule and the texts it misreads on purpose: Shift_JIS
// that happens to be well-formed UTF-8 needs pairs a Japanese text rarely
// holds, and pure ASCII reads alike either way.
TEST(Utf8TextTest, AutoRuleTellsUtf8FromShiftJis) {
    const struct {
        std::string bytes;
        TTextCharset charset;
    } cases[] = {
        {"<13>plain ASCII", TTextCharset::Sjis},
        {"", TTextCharset::Sjis},
        {u8"<13>ディスク障害", TTextCharset::Utf8},
        {"\xEF\xBB\xBF", TTextCharset::Utf8},                      // a lone BOM
        {"\xEF\xBB\xBF" "abc\xFF", TTextCharset::Utf8},            // the BOM outweighs bad bytes
        {u8"<165>1 - - - - - \uFEFFabc", TTextCharset::Utf8},       // RFC 5424: the BOM inside
        {test::Sjis(u8"<13>ディスク障害"), TTextCharset::Sjis},
        {test::Sjis(u8"ｱｲｳ"), TTextCharset::Sjis},
        {u8"障害\xE9\x9A", TTextCharset::Sjis},                     // cut short: not UTF-8
        {"\xC0\xAF", TTextCharset::Sjis},                          // overlong
        {"\xED\xA0\x80", TTextCharset::Sjis},                      // surrogate
        {u8"😀", TTextCharset::Utf8},
        {test::Sjis(u8"縺"), TTextCharset::Sjis},
        {"\xE7\xB8\xBA", TTextCharset::Utf8},                      // Shift_JIS "邵ｺ", well-formed UTF-8 "縺"
    };
    for (const auto& c : cases) EXPECT_EQ(DetectTextCharset(c.bytes), c.charset) << c.bytes;
}

TEST(Utf8TextTest, CleanTextKeepsEveryWellFormedByte) {
    std::string all;
    for (const char* s : {u8"aé障😀", "\x7F", u8"\U0010FFFF", u8"\uFFFD"}) all += s;
    EXPECT_EQ(CleanUtf8(all, "?"), all);
    EXPECT_EQ(CleanUtf8("\xF0\x9F\x98" "a\x80\xBF\xF8", "?"), "?a???");
    EXPECT_EQ(FoldIbmExtensions("a\x81\x0A\xFA\x40\xFC\x4B\xFC\x4C\x88\x9F"), "a\x81\x0A\xEE\xEF\xEE\xEC\xFC\x4C\x88\x9F");
}

}  // namespace
}  // namespace quorvel
