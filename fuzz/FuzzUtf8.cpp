// The message charset rule, UTF-8 to Shift_JIS and the UTF-8 header words.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TextEncoding.h"
#include "util/Utf8Text.h"
#include "util/jconvert.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    if (size < 1) return 0;
    const int limit = 12 + data[0] % 80;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    (void)DetectTextCharset(text);

    // Clean text is well-formed, holds no byte-order mark, and reads as UTF-8
    // whenever it holds anything beyond ASCII.
    const std::string clean = CleanUtf8(text, kGetaUtf8);
    for (size_t pos = 0; pos < clean.size();) {
        const size_t length = Utf8CharLength(clean, pos);
        Require(length > 0 && clean.compare(pos, length, "\xEF\xBB\xBF") != 0);
        pos += length;
    }

    // Every mark noted stands on a geta, and the Shift_JIS is all code page 932.
    std::vector<size_t> missing;
    const std::string sjis = platform::Utf8ToSjis(text, &missing);
    for (size_t at : missing) Require(sjis.compare(at, 2, kGetaSjis) == 0);
    Require(platform::SjisToUtf8(sjis).find(kReplacementUtf8) == std::string::npos);
    (void)SJIStoJIS(FoldIbmExtensions(sjis));

    // The words of a header decode to the text, each within the limit.
    const std::string words = EncodeMimeTextUtf8(clean, limit);
    if (words == clean) return 0;
    std::string decoded;
    size_t pos = 0;
    while (pos < words.size()) {
        const size_t start = words.find("=?utf-8?B?", pos);
        Require(start == pos || (start == pos + 3 && words.compare(pos, 3, "\r\n\t") == 0));
        const size_t end = words.find("?=", start + 10);
        Require(end != std::string::npos && end + 2 - start <= static_cast<size_t>(std::max(limit, 20)));
        // Each word is whole characters (RFC 2047 section 5).
        const std::string piece = DecodeBase64(words.substr(start + 10, end - start - 10));
        Require(!piece.empty() && Utf8CharLength(piece, 0) > 0);
        decoded += piece;
        pos = end + 2;
    }
    Require(decoded == clean);
    return 0;
}
