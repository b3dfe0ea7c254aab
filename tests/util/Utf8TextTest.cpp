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
        {u8"<13>ディスク障害", TTextCharset::Utf8},
        {"\xEF\xBB\xBF", TTextCharset::Utf8},                      // a lone BOM
        {"\xEF\xBB\xBF" "abc\xFF", TTextCharset::Utf8},            // the BOM outweighs bad bytes
        {u8"<165>1 - - - - - \uFEFFabc", TTextCharset::Utf8},       // RFC 5424: the BOM inside
        {test::Sjis(u8"<13>ディスク障害"), TTextCharset::Sjis},
        {u8"障害\xE9\x9A", TTextCharset::Sjis},                     // cut short: not UTF-8
        {"\xC0\xAF", TTextCharset::Sjis},                          // overlong
        {test::Sjis(u8"縺"), TTextCharset::Sjis},
        {"\xE7\xB8\xBA", TTextCharset::Utf8},                      // Shift_JIS "邵ｺ", well-formed UTF-8 "縺"
    };
    for (const auto& c : cases) EXPECT_EQ(DetectTextCharset(c.bytes), c.charset) << c.bytes;
}

}  // namespace
}  // namespace quorvel
