#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "util/Utf8Text.h"
#include "util/jconvert.h"

namespace quorvel::platform {
namespace {

// Every pair of code page 932 against the reference. Assigned exactly when
// it maps to a character of its own (not to private use) within the JIS grid;
// in ISO-2022-JP as the reference writes it (JIS X 0208: iconv rejects the NEC
// rows 0x85-0x87 and 0xED-0xEE or maps them onto their duplicates); and, sent
// in UTF-8, back as the reference table's bytes and, its IBM twins folded, as
// a cell that ISO-2022-JP carries and that reads as the same character.
TEST(TextEncodingTest, EveryCodePage932PairAgreesWithTheReferenceEveryWay) {
    const auto reference = [](const std::string& pair, const char* to) {
        try {
            return test::ReferenceConvert(pair, "CP932", to);
        } catch (const std::runtime_error&) {
            return std::string();
        }
    };
    // The Windows reference knows no ISO-2022-JP; iconv does.
    const bool jisReference = !reference("a", "ISO-2022-JP").empty();
    int assigned = 0, compared = 0, checked = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsSJISLeadByte(static_cast<unsigned char>(lead))) continue;
        for (int trail = 0x00; trail <= 0xFF; ++trail) {
            const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
            const std::string utf8 = lead < 0xF0 && trail >= 0x40 ? reference(pair, "UTF-8") : "";
            // U+E000-U+F8FF is EE 80 80 - EF A3 BF in UTF-8.
            const bool privateUse = utf8.size() == 3 && (utf8[0] == '\xEE' || (utf8[0] == '\xEF' &&
                                                         static_cast<unsigned char>(utf8[1]) <= 0xA3));
            const bool mapped = utf8.size() >= 2 && !privateUse;
            ASSERT_EQ(IsAssignedSJISPair(static_cast<uint8_t>(lead), static_cast<uint8_t>(trail)), mapped)
                << std::hex << lead << ' ' << trail;
            assigned += mapped;
            const std::string jis = lead < 0xEB && (lead < 0x85 || lead > 0x87) ? reference(pair, "ISO-2022-JP") : "";
            if (!jis.empty()) {
                ASSERT_EQ(SJIStoJIS(pair), jis) << std::hex << lead << ' ' << trail;
                ++compared;
            }
            const bool ibm = lead >= 0xFA && trail >= 0x40 && trail <= (lead < 0xFC ? 0xFC : 0x4B) && trail != 0x7F;
            if (!mapped && !ibm) continue;
            const std::string sent = mapped ? utf8 : reference(pair, "UTF-8");
            std::vector<size_t> missing;
            const std::string sjis = Utf8ToSjis(sent, &missing);
            ASSERT_TRUE(missing.empty()) << std::hex << lead << trail;
            ASSERT_EQ(sjis, test::Sjis(sent)) << std::hex << lead << trail;
            const std::string folded = FoldIbmExtensions(sjis);
            ASSERT_EQ(folded.size(), 2u);
            ASSERT_TRUE(IsAssignedSJISPair(static_cast<uint8_t>(folded[0]), static_cast<uint8_t>(folded[1])))
                << std::hex << lead << trail;
            ASSERT_EQ(reference(folded, "UTF-8"), sent) << std::hex << lead << trail;
            ++checked;
        }
    }
    EXPECT_GT(assigned, 7000);
    EXPECT_GT(checked, 7700);
    EXPECT_TRUE(!jisReference || compared > 6800) << compared;  // JIS X 0208:1990 assigns 6879 characters
    std::string kana;
    for (int b = 0xA1; b <= 0xDF; ++b) kana += static_cast<char>(b);
    EXPECT_EQ(Utf8ToSjis(test::ReferenceConvert(kana, "CP932", "UTF-8")), kana);
}

// What senders put in UTF-8 that the code page cannot hold: each piece one
// geta mark, noted where it stands so that it never matches a sent one.
TEST(TextEncodingTest, IllFormedAndMissingCharactersBecomeMarkedGeta) {
    const std::string geta = "\x81\xAC";
    struct Case {
        std::string utf8, sjis;
        std::vector<size_t> missing;
    } cases[] = {
        {u8"\uFEFF<13>障害", "<13>" + test::Sjis(u8"障害"), {}},       // byte-order marks show nothing
        {u8"a\uFEFFb\uFEFF", "ab", {}},
        {"\xC0\xAFx\xE0\x80\xAF", geta + geta + "x" + geta + geta + geta, {0, 2, 5, 7, 9}},  // overlong
        {"\xED\xA0\x80!", geta + geta + geta + "!", {0, 2, 4}},                  // a surrogate
        {"\xE9\x9A\x9C\xE5\xAE", test::Sjis(u8"障") + geta, {2}},                  // cut at the end
        {"\xE5\xAE" "a\xF4\x90\x80\x80", geta + "a" + geta + geta + geta + geta, {0, 3, 5, 7, 9}},
        {u8"ok😀\u3013", "ok" + geta + geta, {2}},                       // a sent geta is not noted
        {u8"〜−‖—¢£¬", test::Sjis(u8"～－∥―￠￡￢"), {}},                // JIS forms as code page 932's
        {std::string("a\0\x80", 3), std::string("a\0", 2) + geta, {2}},
    };
    for (const Case& c : cases) {
        std::vector<size_t> missing;
        EXPECT_EQ(Utf8ToSjis(c.utf8, &missing), c.sjis) << c.utf8;
        EXPECT_EQ(missing, c.missing) << c.utf8;
    }
    // The other way, bad bytes as U+FFFD, or as the geta mark when asked.
    std::string replaced;
    for (int i = 0; i < 5000; ++i) replaced += u8"\uFFFD";
    const std::pair<std::string, std::string> back[] = {
        {test::Sjis(u8"ソ表示①ｶﾅ"), u8"ソ表示①ｶﾅ"},  // 0x5C trail bytes, NEC specials, half-width kana
        {std::string("a\0b\x83", 4), std::string("a\0b", 3) + u8"\uFFFD"}, {std::string(5000, '\xFF'), replaced},
    };
    for (const auto& [sjis, utf8] : back) EXPECT_EQ(SjisToUtf8(sjis), utf8);
    EXPECT_EQ(SjisToUtf8("\x81\xAC\xFF", kGetaUtf8), u8"〓〓");
}

}  // namespace
}  // namespace quorvel::platform
