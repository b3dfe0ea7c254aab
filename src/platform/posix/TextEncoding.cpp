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

// Runs all of in through the converter, which may be invalid (then every
// byte counts as one it cannot take). At a sequence it cannot take, mark
// appends what stands for it and returns how many bytes it covers; the
// descriptor is reset and the conversion goes on after them.
template <class Mark>
std::string ConvertAll(const Converter& conv, std::string_view in, Mark mark) {
    std::string out;
    if (conv.Valid()) iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char buf[1024];
    while (srcLeft > 0) {
        char* dst = buf;
        size_t dstLeft = sizeof buf;
        const size_t rc = conv.Valid() ? iconv(conv.Get(), &src, &srcLeft, &dst, &dstLeft) : static_cast<size_t>(-1);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (rc != static_cast<size_t>(-1)) break;
        if (conv.Valid() && errno == E2BIG) continue;
        const size_t length = std::min(mark(out, std::string_view(src, srcLeft)), srcLeft);
        src += length;
        srcLeft -= length;
        if (conv.Valid()) iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace

std::string SjisToUtf8(std::string_view sjis, std::string_view replacement) {
    const Converter conv("UTF-8", "CP932");
    // EILSEQ (not CP932) or EINVAL (a lead byte cut off at the end): one
    // byte marked. Without the converter ASCII stays and the rest is marked.
    return ConvertAll(conv, sjis, [&conv, replacement](std::string& out, std::string_view rest) -> size_t {
        if (!conv.Valid() && static_cast<unsigned char>(rest[0]) < 0x80) {
            out += rest[0];
        } else {
            out += replacement;
        }
        return 1;
    });
}

std::string EncodeCodePage932(std::string_view utf8, std::vector<size_t>& missing) {
    // One descriptor per thread, kept: opening one costs more than
    // converting a whole message, and this runs for every UTF-8 message.
    thread_local Converter conv("CP932", "UTF-8");
    // The input is well-formed, so this is a character the table lacks (or,
    // without a converter, anything but ASCII): one mark for it.
    return ConvertAll(conv, utf8, [&missing](std::string& out, std::string_view rest) -> size_t {
        if (!conv.Valid() && static_cast<unsigned char>(rest[0]) < 0x80) {
            out += rest[0];
        } else {
            missing.push_back(out.size());
            out += kGetaSjis;
        }
        return std::max<size_t>(Utf8CharLength(rest, 0), 1);
    });
}

}  // namespace quorvel::platform
