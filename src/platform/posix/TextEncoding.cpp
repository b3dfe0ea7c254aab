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

// Converts the input onto the end of out. Where the converter stops at a
// byte (and everywhere without a converter), mark is given the rest of the
// input, adds what stands for its first character and says how many bytes
// that was; the converter then starts afresh behind it.
template <typename Mark>
void Convert(const Converter& conv, std::string_view in, std::string& out, Mark mark) {
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
        const size_t length = mark(std::string_view(src, srcLeft));
        src += length;
        srcLeft -= length;
        if (conv.Valid()) iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    }
}

}  // namespace

std::string SjisToUtf8(std::string_view sjis, std::string_view replacement) {
    std::string out;
    Converter conv("UTF-8", "CP932");
    if (!conv.Valid()) {
        // Without the converter keep ASCII and mark the rest.
        for (unsigned char c : sjis) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(replacement);
        return out;
    }
    // EILSEQ (not CP932) or EINVAL (a lead byte cut off at the end): mark
    // one byte and go on with the next.
    Convert(conv, sjis, out, [&](std::string_view) {
        out += replacement;
        return size_t{1};
    });
    return out;
}

std::string EncodeCodePage932(std::string_view utf8, std::vector<size_t>& missing) {
    std::string out;
    // One descriptor per thread, kept: opening one costs more than
    // converting a whole message, and this runs for every UTF-8 message.
    thread_local Converter conv("CP932", "UTF-8");
    if (conv.Valid()) iconv(conv.Get(), nullptr, nullptr, nullptr, nullptr);
    Convert(conv, utf8, out, [&](std::string_view rest) {
        // The input is well-formed, so this is a character the table lacks
        // (or, without a converter, anything but ASCII): one mark for it.
        const size_t length = std::max<size_t>(Utf8CharLength(rest, 0), 1);
        if (!conv.Valid() && static_cast<unsigned char>(rest[0]) < 0x80) {
            out += rest[0];
        } else {
            missing.push_back(out.size());
            out += kGetaSjis;
        }
        return length;
    });
    return out;
}

}  // namespace quorvel::platform
