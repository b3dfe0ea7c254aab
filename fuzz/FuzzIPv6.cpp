// IPv6 address texts: any text parses without harm, and an accepted address
// written out again parses to the same groups.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "util/DString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)AddressKind(text);
    (void)SplitIPv4Address(text);
    TIPv6Address address;
    if (!ParseIPv6Address(text, address)) return 0;
    (void)FindZeroBlocks(address);
    for (bool upper : {false, true}) {
        TIPv6Address again;
        if (!ParseIPv6Address(FormatIPv6Address(address, upper), again)) std::abort();
        if (again.Groups != address.Groups) std::abort();
    }
    return 0;
}
