#include "platform/TextEncoding.h"

#include <errno.h>
#include <iconv.h>

namespace quorvel::platform {

namespace {

// Holds one conversion descriptor; iconv_t must not be shared between threads.
class Converter {
public:
    Converter() : cd_(iconv_open("UTF-8", "CP932")) {}
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

const char kReplacement[] = "\xEF\xBF\xBD";

}  // namespace

std::string SjisToUtf8(std::string_view sjis) {
    std::string out;
    Converter conv;
    if (!conv.Valid()) {
        // Without the converter keep ASCII and mark the rest.
        for (unsigned char c : sjis) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : kReplacement;
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
        out += kReplacement;
        ++src;
        --srcLeft;
        iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace quorvel::platform
