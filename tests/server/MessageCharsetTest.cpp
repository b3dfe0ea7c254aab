#include "server/MessageCharset.h"

#include <gtest/gtest.h>

#include <string>

#include "SjisReference.h"

namespace quorvel {
namespace {

// A Shift_JIS keyword against a UTF-8 message: the same characters match,
// at character starts only, and what Shift_JIS cannot hold matches nothing.
TEST(MessageCharsetTest, KeywordsMatchTheSameCharactersOfAUtf8Message) {
    const struct { std::string keyword, message; bool match; } cases[] = {
        {test::Sjis(u8"障害"), u8"\uFEFF障\uFEFF害", true},                   // marks show nothing
        {test::Sjis(u8"〓"), u8"emoji 😀 and a cut \xE9\x9A", false},          // stand-ins are no characters
        {test::Sjis(u8"a〓b"), u8"a😀b", false},
        {test::Sjis(u8"〓"), u8"a sent 〓", true},
        {std::string("\x9F\x82", 2), u8"ぁあ", false},                        // "氓" across two characters
        {"\xFB\xFC", u8"髙橋", true},                                          // the IBM form of a Windows editor
        {test::Sjis(u8"高橋"), u8"髙橋", false},
        {"\xEE\xE0", u8"髙橋", true},                                          // its twin, as Python writes it
        {test::Sjis(u8"～"), u8"10〜12", true},                               // WAVE DASH as code page 932 has it
        {"error", std::string(u8"ok\0error", 9), false},                      // the text ends at a NUL
        {"error", u8"\xC0 error", true},
    };
    for (const auto& c : cases) {
        const TKeywordList keywords{{"zzz", {}}, {c.keyword, {"ops@example.org"}}};
        EXPECT_EQ(FindKeywordInUtf8(keywords, c.message) == &keywords[1], c.match) << c.message;
    }
}

}  // namespace
}  // namespace quorvel
