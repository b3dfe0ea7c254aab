#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

#include "SjisReference.h"

namespace quorvel::platform {
namespace {

TEST(TextEncodingTest, ShiftJisBecomesUtf8AndBadBytesAreMarked) {
    struct Case {
        std::string sjis;
        std::string utf8;
    } cases[] = {
        {"plain ASCII\r\n", "plain ASCII\r\n"},
        {test::Sjis(u8"ソ表示①ｶﾅ"), u8"ソ表示①ｶﾅ"},   // 0x5C trail bytes, NEC specials, half-width kana
        {std::string("ab\x83", 3), u8"ab\uFFFD"},       // lead byte cut off at the end
        {std::string("\xFF" "x", 2), u8"\uFFFDx"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {std::string(5000, '\xFF'), ""},  // filled in below
    };
    cases[5].utf8.clear();
    for (int i = 0; i < 5000; ++i) cases[5].utf8 += u8"\uFFFD";
    for (const Case& c : cases) EXPECT_EQ(SjisToUtf8(c.sjis), c.utf8);
}

}  // namespace
}  // namespace quorvel::platform
