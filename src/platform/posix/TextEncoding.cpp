#include "platform/TextEncoding.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>

#include "platform/TextEncodingBackend.h"
#include "util/Utf8Text.h"

namespace quorvel::platform {

namespace {

// Holds one conversion descriptor; iconv_t must not be shared between threads.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (Valid()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

private:
    iconv_t cd_;
};

}  // namespace

std::string SjisToUtf8(std::string_view sjis, std::string_view replacement) {
    std::string out;
    Converter conv("UTF-8", "CP932");
    if (!conv.Valid()) {
        // Without the converter keep ASCII and mark the rest.
        for (unsigned char c : sjis) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(replacement);
        return out;
    }
    char* src = const_cast<char*>(sjis.data());
    size_t srcLeft = sjis.size();
    char buf[1024];
    while (srcLeft > 0) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        size_t rc = iconv(conv.Get(), &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (rc != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ (not CP932) or EINVAL (a lead byte cut off at the end):
        // mark one byte and go on with the next.
        out += replacement;
        ++src;
        --srcLeft;
        iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

std::string EncodeCodePage932(std::string_view utf8, std::vector<size_t>& missing) {
    std::string out;
    // One descriptor per thread, kept: opening one costs more than
    // converting a whole message, and this runs for every UTF-8 message.
    thread_local Converter conv("CP932", "UTF-8");
    if (conv.Valid()) iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(utf8.data());
    size_t srcLeft = utf8.size();
    char buf[1024];
    while (srcLeft > 0) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        size_t rc = conv.Valid() ? iconv(conv.Get(), &src, &srcLeft, &dst, &dstLeft) : static_cast<size_t>(-1);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (rc != static_cast<size_t>(-1)) break;
        if (conv.Valid() && errno == E2BIG) continue;
        // The input is well-formed, so this is a character the table lacks
        // (or, without a converter, anything but ASCII): one mark for it.
        const size_t length = std::max<size_t>(Utf8CharLength(std::string_view(src, srcLeft), 0), 1);
        if (!conv.Valid() && static_cast<unsigned char>(*src) < 0x80) {
            out += *src;
        } else {
            missing.push_back(out.size());
            out += kGetaSjis;
        }
        src += length;
        srcLeft -= length;
        if (conv.Valid()) iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace quorvel::platform
