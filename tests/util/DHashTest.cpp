#include "util/DHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "util/jconvert.h"

namespace quorvel {
namespace {

template <typename Hash, typename Digest>
std::string HexOf(std::string_view text) {
    Hash hash;
    Digest digest;
    hash.HashString(text);
    hash.Final(digest);
    return Hash::DigestToHex(digest);
}
const auto Md5Hex = HexOf<TDMD5, TMD5Digest>;
const auto Sha1Hex = HexOf<TDSHA1, TSHA1Digest>;

std::string Repeat(std::string_view unit, size_t length) {
    std::string out;
    while (out.size() < length) out += unit;
    out.resize(length);
    return out;
}

TEST(DHashTest, MatchesPublishedAndToolDigests) {
    const std::string alpha = "abcdefghijklmnopqrstuvwxyz";
    struct {
        std::string message;
        const char* md5;  // nullptr where the source publishes only the other digest
        const char* sha1;
    } const cases[] = {
        // RFC 1321 A.5 suite, FIPS 180 / RFC 3174 vectors.
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"a", "0cc175b9c0f1b6a831c399e269772661", nullptr},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", nullptr},
        {alpha, "c3fcd3d76192e4007dfb496cca67e13b", nullptr},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ" + alpha + "0123456789", "d174ab98d277d9f5a5611c2c9f419d9f", nullptr},
        {Repeat("1234567890", 80), "57edf4a22be3c955ac49da2e2107b67a", nullptr},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", nullptr,
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {Repeat("01234567", 640), nullptr, "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // md5sum / sha1sum of printf 'a\0b': an embedded NUL is part of the message.
        {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b", "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},
        // yes abcdefghijklmnopqrstuvwxyz | tr -d '\n' | head -c N | md5sum (sha1sum): the
        // length needs an extra block from 56 bytes on.
        {Repeat(alpha, 55), "0d7ae056b2f015cd7dc67494efd658f1", "a617d006d1ca12671785098a19a87fe58443bde9"},
        {Repeat(alpha, 56), "31fcfb5165169eb55898e7e4cf34d19a", "4ad5bb7ae3c4024768d364b77c52128ea3cffebe"},
        {Repeat(alpha, 63), "1b30c0670c15e7da3c2ba7bce77ebe99", "fc8a5ab77259625085ead3ec96515b3b8d933fad"},
        {Repeat(alpha, 64), "a2eaf6295c32adc403865fd96a2f182b", "93249d4c2f8903ebf41ac358473148ae6ddd7042"},
        {Repeat(alpha, 65), "eba2cce0ca8df47e62414a736b3105a2", "cf2a63cc308225cf07b498d2309a01dd0df52f67"},
        {Repeat(alpha, 119), "b05187e08da41fa3ef16bd56afaafd99", "edd0f1133d0e4ca5f3e98bb7e0295f31d20d2cdb"},
        {Repeat(alpha, 120), "62af9b597a9f55e16ab2b897387fc052", "23a58eee587aa1f50d19a969ab36a3fe3e88c393"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.message.size()));
        if (c.md5) { EXPECT_EQ(Md5Hex(c.message), c.md5); }
        if (c.sha1) { EXPECT_EQ(Sha1Hex(c.message), c.sha1); }
    }
}

TEST(DHashTest, PiecewiseUpdateMatchesOneShot) {
    std::string message(5000, '\0');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i * 131 + 7);
    TDMD5 md5;
    TDSHA1 sha1;
    md5.Init();
    sha1.Init();
    // Piece sizes 0..130 straddle block edges in every phase.
    for (size_t pos = 0, step = 0; pos < message.size(); pos += step, step = (step + 1) % 131) {
        const auto n = static_cast<uint32_t>(std::min(step, message.size() - pos));
        md5.Update(message.data() + pos, n);
        EXPECT_TRUE(sha1.Update(message.data() + pos, n));
    }
    TMD5Digest md5Digest;
    TSHA1Digest sha1Digest;
    md5.Final(md5Digest);
    sha1.Final(sha1Digest);
    EXPECT_EQ(TDMD5::DigestToHex(md5Digest), Md5Hex(message));
    EXPECT_EQ(TDSHA1::DigestToHex(sha1Digest), Sha1Hex(message));
}

TEST(DHashTest, Sha1WithoutInitChangesNothing) {
    TDSHA1 sha1;
    EXPECT_FALSE(sha1.Update("abc", 3));
    TSHA1Digest digest;
    digest.fill(0xA5);
    sha1.Final(digest);
    for (uint8_t b : digest) EXPECT_EQ(b, 0xA5);
}

TEST(DHashTest, CramMD5AnswerCarriesHmacMd5) {
    const std::string aa80(80, '\xaa');
    struct {
        std::string key;
        std::string data;
        const char* hmac;
    } const cases[] = {
        // RFC 2202 section 2.
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19",
         std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {aa80, "Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {aa80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
        // Key length edges, references from openssl dgst -md5 -mac HMAC and Python's hmac.
        {"", "boundary", "52c46c922f521f2ed15d5df507286dce"},
        {std::string(64, '\xaa'), "boundary", "e254da8af476db8e75c1b01a49a51cb0"},
        {std::string(65, '\xaa'), "boundary", "51bed7b110693faf2b53eb567547bc55"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        const std::string answer = CramMD5Response("user", c.key, c.data);
        EXPECT_EQ(answer.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(DecodeBase64(answer), std::string("user ") + c.hmac);
    }
    EXPECT_EQ(CramMD5Response("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
              "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

}  // namespace
}  // namespace quorvel
