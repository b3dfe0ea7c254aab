#pragma once
// Independent Shift_JIS reference for tests: the C library's iconv, never
// the system's own conversion code.

#include <iconv.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvel::test {

// The text in another encoding as iconv names it; throws where iconv fails.
inline std::string ReferenceConvert(std::string_view in, const char* from, const char* to) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
    std::string out(in.size() * 4 + 16, '\0');
    char *src = const_cast<char*>(in.data()), *dst = out.data();
    size_t srcLeft = in.size(), dstLeft = out.size();
    size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    if (rc != static_cast<size_t>(-1)) rc = iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) throw std::runtime_error("iconv failed");
    out.resize(out.size() - dstLeft);
    return out;
}

// UTF-8 source text -> the Shift_JIS bytes the system must write.
inline std::string Sjis(std::string_view utf8) { return ReferenceConvert(utf8, "UTF-8", "CP932"); }

}  // namespace quorvel::test
