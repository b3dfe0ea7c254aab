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
        // Half-width katakana are single bytes and pass as they are.
        {"\xB1\xB2\xB3\xDF", "\xB1\xB2\xB3\xDF"},
        {"x\x00y"s, "x\x00y"s},
        // A lead byte cut off at the end converts with a zero trail byte.
        {"a\x82", "a" + in + "\x23\xE1" + out},
        // A byte below the trail range forms no character: turned into one it
        // would become LF (0x29) or CR (0x2C) in the mail body.
        {"\x95\x29", in + "\x22\x2E" + out + ")"},
        {"\x8C\x58\x95\x2C\x81", in + "\x37\x39\x22\x2E" + out + "," + in + "\x21\xE1" + out},
    };
    for (const auto& [sjis, jis] : cases) EXPECT_EQ(SJIStoJIS(sjis), jis);
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
    EXPECT_EQ(pieces.back(), std::string(15, 'x') + "\x1B$B\x23\xE1\x1B(B");
}

}  // namespace
}  // namespace quorvel
