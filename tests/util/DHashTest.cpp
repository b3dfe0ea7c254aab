#include "util/DHash.h"

#include <gtest/gtest.h>

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

std::string Alphabet(size_t length) {
    std::string out;
    while (out.size() < length) out += "abcdefghijklmnopqrstuvwxyz";
    return out.substr(0, length);
}

TEST(DHashTest, MatchesPublishedAndToolDigests) {
    const struct {
        std::string message;
        const char *md5, *sha1;
    } cases[] = {
        // RFC 1321 A.5 and FIPS 180 / RFC 3174 vectors.
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // md5sum / sha1sum of printf 'a\0b': an embedded NUL is part of the message.
        {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b", "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},
        // yes abcdefghijklmnopqrstuvwxyz | tr -d '\n' | head -c N | md5sum (sha1sum): the
        // length needs an extra block from 56 bytes on; 120 fills two blocks.
        {Alphabet(55), "0d7ae056b2f015cd7dc67494efd658f1", "a617d006d1ca12671785098a19a87fe58443bde9"},
        {Alphabet(56), "31fcfb5165169eb55898e7e4cf34d19a", "4ad5bb7ae3c4024768d364b77c52128ea3cffebe"},
        {Alphabet(64), "a2eaf6295c32adc403865fd96a2f182b", "93249d4c2f8903ebf41ac358473148ae6ddd7042"},
        {Alphabet(120), "62af9b597a9f55e16ab2b897387fc052", "23a58eee587aa1f50d19a969ab36a3fe3e88c393"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((HexOf<TDMD5, TMD5Digest>(c.message)), c.md5) << c.message.size();
        EXPECT_EQ((HexOf<TDSHA1, TSHA1Digest>(c.message)), c.sha1) << c.message.size();
    }
}

// Keys shorter than, as long as and longer than the 64-byte block (RFC 2104).
TEST(DHashTest, CramMD5AnswerCarriesHmacMd5) {
    const struct {
        std::string key, data;
        const char* hmac;
    } cases[] = {
        // RFC 2202 section 2; then openssl dgst -md5 -mac HMAC.
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {"", "boundary", "52c46c922f521f2ed15d5df507286dce"},
        {std::string(64, '\xaa'), "boundary", "e254da8af476db8e75c1b01a49a51cb0"},
        {std::string(65, '\xaa'), "boundary", "51bed7b110693faf2b53eb567547bc55"},
    };
    for (const auto& c : cases) {
        const std::string answer = CramMD5Response("user", c.key, c.data);
        EXPECT_EQ(answer.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(DecodeBase64(answer), std::string("user ") + c.hmac) << c.key.size();
    }
    // RFC 2195 section 2.
    EXPECT_EQ(CramMD5Response("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
              "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

}  // namespace
}  // namespace quorvel
