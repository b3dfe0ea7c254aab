// Base64 (RFC 4648): any text decodes without harm, and every byte string
// comes back from its own encoding unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "util/jconvert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)quorvel::DecodeBase64(bytes);
    const std::string encoded = quorvel::EncodeBase64(bytes);
    if (encoded.size() != (size + 2) / 3 * 4) std::abort();
    if (quorvel::DecodeBase64(encoded) != bytes) std::abort();
    return 0;
}
