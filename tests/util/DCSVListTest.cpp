#include "util/DCSVList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

using Fields = std::vector<std::string>;

// One list for all lines, so that each split must also drop the previous fields.
TCSVList list;

Fields Split(const std::string& line, char delimiter = ',') {
    list.SetDelimiter(delimiter);
    list.SetLine(line);
    Fields fields;
    for (int i = 0; i < list.Count(); ++i) fields.push_back(list.Fields(i));
    return fields;
}

TEST(CSVList, SplitsKeywordLines) {
    // "ソフト" (0x5C is the trail byte of "ソ") and "ポ" (trail byte "|").
    const std::string soft = "\x83\x5C\x83\x74\x83\x67", po = "\x83\x7C";
    struct Case {
        std::string line;
        Fields fields;
        char delimiter = ',';
    } cases[] = {
        {"", {}},
        {" , ,\t,", {}},
        {"a,,b c\t", {"a", "b", "c"}},
        {"\"x, y\",z", {"x, y", "z"}},
        {"\"a\"\"b\" \"\"", {"a\"b", ""}},
        {"\"a\"b", {"a", "b"}},
        {"ab\"c d\",e", {"c d", "e"}},        // a quote inside a field opens a quoted one
        {"a,\"never, closed", {"a"}},
        {"abc," + soft, {"abc", soft}},
        {"\"" + soft + " x\"," + soft, {soft + " x", soft}},
        {po + "|b", {po, "b"}, '|'},
        {"a;b c,d", {"a", "b", "c,d"}, ';'},
        {"a,\x83", {"a", "\x83"}},            // lead byte without its trail byte
        {"\"a\x83", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Split(c.line, c.delimiter), c.fields) << c.line;
}

}  // namespace
}  // namespace quorvel
