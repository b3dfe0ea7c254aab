#include "util/DInifile.h"

#include <gtest/gtest.h>

#include <climits>

namespace quorvel {
namespace {

using namespace std::string_literals;

// Lines split at every line end; a block lies between the first start and
// the first end after it.
TEST(IniFile, LinesBlocksAndWholeNumbers) {
    EXPECT_EQ(SplitTextLines(""), TStringList{});
    EXPECT_EQ(SplitTextLines("a\r\nb\n\n\r\r\nc\n\r"), (TStringList{"a", "b", "", "", "", "c", ""}));
    EXPECT_EQ(SplitTextLines("a\nb\0c\nd"s), (TStringList{"a", "b"}));
    TStringList block = {"stale"};
    ReadIniBlock({"x", "ListStart", "a", "LISTSTART", "b", "listend", "c"}, "LISTSTART", "LISTEND", block);
    EXPECT_EQ(block, (TStringList{"a", "LISTSTART", "b"}));
    ReadIniBlock({"LISTSTART", "a"}, "LISTSTART", "LISTEND", block);
    EXPECT_EQ(block, TStringList{"a"});

    const std::pair<std::string, int32_t> cases[] = {
        {"25", 25}, {" 2 5\t", 25}, {"25a", -7}, {"  ", -7}, {"", -7}, {"+7", 7}, {"--5", -7},
        {"2147483647", INT_MAX}, {"2147483648", -7}, {"-2147483648", INT_MIN}, {"$FF", 255},
        {"0x1f", 31}, {"X10", 16}, {"-$10", -16}, {"$FFFFFFFF", -1}, {"0x80000000", INT_MIN},
        {"$000000001", 1}, {"$100000000", -7}, {"0x", -7}, {"$G", -7}, {"1.5", -7},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(ReadIniInteger({"PORT=" + value}, "PORT=", -7), expected) << value;
    }
}

}  // namespace
}  // namespace quorvel
