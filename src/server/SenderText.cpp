#include "server/SenderText.h"

#include "util/Chars.h"
#include "util/DString.h"

namespace quorvel {

void AppendSenderText(std::string& text, const platform::SenderAddress& address, bool ipv6) {
    if (!ipv6) {
        for (size_t i = 0; i < 4; ++i) {
            if (i > 0) text += '.';
            text += std::to_string(address.Bytes[i]);
        }
        return;
    }
    for (size_t i = 0; i < 16; ++i) {
        if (i > 0 && i % 2 == 0) text += ':';
        text += HexDigit(address.Bytes[i] >> 4, true);
        text += HexDigit(address.Bytes[i], true);
    }
}

std::string LineSenderText(const std::string& raw) {
    if (AddressKind(raw) != akIPv6) return raw;
    TIPv6Address address;
    ParseIPv6Address(raw, address);
    return FormatIPv6Address(address, false);
}

}  // namespace quorvel
