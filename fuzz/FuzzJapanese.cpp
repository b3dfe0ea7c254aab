// Shift_JIS to ISO-2022-JP and the MIME encoded words of mail headers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/jconvert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    if (size < 2) return 0;
    const int limit = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
    (void)SJISCharToJIS(data[0], data[1]);
    (void)SJIStoJIS(text);
    (void)EncodeMimeWord(text);
    (void)EncodeMimeText(text, limit);
    return 0;
}
