// The keyword-line splitter: any line, any delimiter, every field readable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/DCSVList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    quorvel::TCSVList csv;
    csv.SetDelimiter(static_cast<char>(data[0]));
    csv.SetLine(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    size_t total = 0;
    for (int i = 0; i < csv.Count(); ++i) total += csv.Fields(i).size();
    // Quotes and separators are dropped, never invented.
    if (total > size - 1) std::abort();
    return 0;
}
