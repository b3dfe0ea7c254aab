#include "util/DHash.h"

#include <cstring>
#include <initializer_list>

#include "util/Chars.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

template <size_t N>
std::string ToHex(const std::array<uint8_t, N>& digest) {
    std::string hex;
    hex.reserve(2 * N);
    for (uint8_t b : digest) {
        hex += HexDigit(b >> 4, false);
        hex += HexDigit(b, false);
    }
    return hex;
}

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// A block's working words added into the chaining state.
void AddInto(uint32_t* state, std::initializer_list<uint32_t> words) {
    for (const uint32_t w : words) *state++ += w;
}

// Update takes a 32-bit count; longer texts go in slices.
template <typename Hash>
void UpdateAll(Hash& hash, std::string_view text) {
    const char* p = text.data();
    size_t left = text.size();
    do {
        const uint32_t slice = left > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(left);
        hash.Update(p, slice);
        p += slice;
        left -= slice;
    } while (left > 0);
}

// RFC 1321 3.4: the 64 sine-derived constants and per-round shift amounts.
constexpr uint32_t kMD5T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMD5Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void MD5Transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
               static_cast<uint32_t>(block[4 * i + 2]) << 16 | static_cast<uint32_t>(block[4 * i + 3]) << 24;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        uint32_t f;
        int g;
        switch (round) {
            case 0: f = (b & c) | (~b & d); g = i; break;
            case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
            case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
            default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
        }
        const uint32_t next = b + RotateLeft(a + f + kMD5T[i] + x[g], kMD5Shift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    AddInto(state, {a, b, c, d});
}

void SHA1Transform(uint32_t state[5], const uint8_t block[64]) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | static_cast<uint32_t>(block[4 * i + 3]);
    for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t t = RotateLeft(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = RotateLeft(b, 30);
        b = a;
        a = t;
    }
    AddInto(state, {a, b, c, d, e});
}

}  // namespace

// ---- TDMD5 ----

void TDMD5::Init() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    count_[0] = count_[1] = 0;
    std::memset(buffer_, 0, sizeof buffer_);
}

void TDMD5::Update(const void* data, uint32_t count) {
    const auto* in = static_cast<const uint8_t*>(data);
    uint32_t index = count_[0] >> 3 & 0x3F;
    const uint32_t bitsLow = count << 3;
    count_[0] += bitsLow;
    if (count_[0] < bitsLow) ++count_[1];
    count_[1] += count >> 29;

    uint32_t i = 0;
    const uint32_t room = 64 - index;
    if (count >= room) {
        std::memcpy(buffer_ + index, in, room);
        MD5Transform(state_, buffer_);
        for (i = room; count - i >= 64; i += 64) MD5Transform(state_, in + i);
        index = 0;
    }
    if (count > i) std::memcpy(buffer_ + index, in + i, count - i);
}

void TDMD5::Final(TMD5Digest& digest) {
    // RFC 1321 3.1-3.2: 0x80, zeros up to 56 mod 64, then the bit count LSB first.
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(count_[i / 4] >> (8 * (i % 4)));
    const uint32_t index = count_[0] >> 3 & 0x3F;
    const uint32_t padLen = index < 56 ? 56 - index : 120 - index;
    static const uint8_t kPadding[64] = {0x80};
    Update(kPadding, padLen);
    Update(length, 8);
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (8 * (i % 4)));
    // The context held key-derived material in CRAM-MD5; leave nothing behind.
    std::memset(state_, 0, sizeof state_);
    std::memset(count_, 0, sizeof count_);
    std::memset(buffer_, 0, sizeof buffer_);
}

void TDMD5::HashString(std::string_view text) {
    Init();
    UpdateAll(*this, text);
}

std::string TDMD5::DigestToHex(const TMD5Digest& digest) { return ToHex(digest); }

// ---- TDSHA1 ----

void TDSHA1::Init() {
    countHigh_ = countLow_ = 0;
    fill_ = 0;
    std::memset(buffer_, 0, sizeof buffer_);
    state_[0] = 0x67452301;
    state_[1] = 0xEFCDAB89;
    state_[2] = 0x98BADCFE;
    state_[3] = 0x10325476;
    state_[4] = 0xC3D2E1F0;
    initialised_ = true;
}

bool TDSHA1::Update(const void* data, uint32_t count) {
    if (!initialised_) return false;
    const auto* in = static_cast<const uint8_t*>(data);
    const uint32_t bitsLow = count << 3;
    countLow_ += bitsLow;
    if (countLow_ < bitsLow) ++countHigh_;
    countHigh_ += count >> 29;
    for (uint32_t i = 0; i < count;) {
        const uint32_t take = count - i < 64 - fill_ ? count - i : 64 - fill_;
        std::memcpy(buffer_ + fill_, in + i, take);
        fill_ += take;
        i += take;
        if (fill_ == 64) {
            SHA1Transform(state_, buffer_);
            std::memset(buffer_, 0, sizeof buffer_);
            fill_ = 0;
        }
    }
    return true;
}

void TDSHA1::Final(TSHA1Digest& digest) {
    if (!initialised_) return;
    // FIPS 180-1 section 4: 0x80, zeros, then the 64-bit bit count big-endian;
    // the bytes past the fill are already zero.
    buffer_[fill_] = 0x80;
    if (fill_ >= 56) {
        SHA1Transform(state_, buffer_);
        std::memset(buffer_, 0, sizeof buffer_);
    }
    for (int i = 0; i < 4; ++i) {
        buffer_[56 + i] = static_cast<uint8_t>(countHigh_ >> (24 - 8 * i));
        buffer_[60 + i] = static_cast<uint8_t>(countLow_ >> (24 - 8 * i));
    }
    SHA1Transform(state_, buffer_);
    std::memset(buffer_, 0, sizeof buffer_);
    fill_ = 0;
    for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
}

void TDSHA1::HashString(std::string_view text) {
    Init();
    if (!text.empty()) UpdateAll(*this, text);
}

std::string TDSHA1::DigestToHex(const TSHA1Digest& digest) { return ToHex(digest); }

// ---- CRAM-MD5 ----

std::string CramMD5Response(std::string_view account, std::string_view password,
                            std::string_view challenge) {
    // RFC 2104 section 2: a key longer than the 64-byte block is replaced by its digest.
    uint8_t key[64] = {};
    if (password.size() > sizeof key) {
        TDMD5 md5;
        TMD5Digest keyDigest;
        md5.HashString(password);
        md5.Final(keyDigest);
        std::memcpy(key, keyDigest.data(), keyDigest.size());
    } else if (!password.empty()) {
        std::memcpy(key, password.data(), password.size());
    }

    std::string inner(64, '\0');
    std::string outer(64 + 16, '\0');
    for (int i = 0; i < 64; ++i) {
        inner[i] = static_cast<char>(key[i] ^ 0x36);
        outer[i] = static_cast<char>(key[i] ^ 0x5C);
    }
    inner += challenge;

    TDMD5 md5;
    TMD5Digest digest;
    md5.HashString(inner);
    md5.Final(digest);
    std::memcpy(outer.data() + 64, digest.data(), digest.size());
    md5.HashString(outer);
    md5.Final(digest);

    // RFC 2195 section 2: user name, one space, the digest in lowercase hex.
    std::string answer(account);
    answer += ' ';
    answer += TDMD5::DigestToHex(digest);
    return EncodeBase64(answer);
}

}  // namespace quorvel
