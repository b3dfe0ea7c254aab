// The ini line reader: line splitting, keys, numbers and the keyword block
// over any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/DInifile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    const TStringList lines = SplitTextLines(std::string_view(reinterpret_cast<const char*>(data), size));
    (void)ReadIniString(lines, "MAILSERVER=");
    (void)ReadIniStringDef(lines, "RCODE=", "CRLF");
    (void)ReadIniInteger(lines, "SYSLOGPORT=", 514);
    (void)ReadIniInteger(lines, "SYSLOGPORT10=", -1);
    TStringList block;
    ReadIniBlock(lines, "KEYWORDLISTSTART", "KEYWORDLISTEND", block);
    return 0;
}
