#pragma once
// MD5 (RFC 1321), SHA-1 (FIPS 180-1) and the CRAM-MD5 answer (RFC 2195).
// One object per computation; no shared state.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel {

using TMD5Digest = std::array<uint8_t, 16>;
using TSHA1Digest = std::array<uint8_t, 20>;

class TDMD5 {
public:
    void Init();
    void Update(const void* data, uint32_t count);
    // Writes the digest and wipes the context; Init is needed before reuse.
    void Final(TMD5Digest& digest);
    void HashString(std::string_view text);
    static std::string DigestToHex(const TMD5Digest& digest);

private:
    uint32_t state_[4] = {};
    uint32_t count_[2] = {};
    uint8_t buffer_[64] = {};
};

class TDSHA1 {
public:
    void Init();
    // False, and nothing else, before Init.
    bool Update(const void* data, uint32_t count);
    // Leaves the digest untouched before Init.
    void Final(TSHA1Digest& digest);
    void HashString(std::string_view text);
    static std::string DigestToHex(const TSHA1Digest& digest);

private:
    bool initialised_ = false;
    uint32_t countHigh_ = 0;
    uint32_t countLow_ = 0;
    uint32_t fill_ = 0;
    uint32_t state_[5] = {};
    uint8_t buffer_[64] = {};
};

// Base64 of account, one space and the lowercase hex HMAC-MD5 of the
// challenge keyed with the password.
std::string CramMD5Response(std::string_view account, std::string_view password,
                            std::string_view challenge);

}  // namespace quorvel
