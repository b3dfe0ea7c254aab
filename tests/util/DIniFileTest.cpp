#include "util/DInifile.h"

#include <gtest/gtest.h>

#include <climits>


namespace quorvel {
namespace {

using namespace std::string_literals;

TEST(IniFile, SplitsAtEveryLineEnd) {
    EXPECT_EQ(SplitTextLines(""), TStringList{});
    EXPECT_EQ(SplitTextLines("a\r\nb\n\n\r\r\nc\n\r"), (TStringList{"a", "b", "", "", "", "c", ""}));
    EXPECT_EQ(SplitTextLines("a\nb\0c\nd"s), (TStringList{"a", "b"}));
}

// NULs that pad the end go; one with text behind it would hide every key
// after it, so it is refused with the line it stands in.
TEST(IniFile, TrailingNulsArePaddingAndAnInnerNulNamesItsLine) {
    EXPECT_EQ(SplitIniText("A=1\r\nB=2\r\n\0\0\0"s), (TStringList{"A=1", "B=2"}));
    EXPECT_EQ(SplitIniText("\xEF\xBB\xBF\0\0"s), TStringList{});
    const std::pair<std::string, size_t> inner[] = {
        {"AB\0\r\nSYSLOGPORT=5140"s, 1}, {"A=1\nB=2\0\nSYSLOGPORT=5140"s, 2},
        {"A=1\r\rB\r\n\0\0\r\n"s, 4}, {"\xEF\xBB\xBF" "A=1\r\nB=2\r\nC\0=3"s, 3},
    };
    for (const auto& [bytes, line] : inner) {
        try {
            SplitIniText(bytes);
            ADD_FAILURE() << line;
        } catch (const TIniNulError& e) {
            EXPECT_EQ(e.Line, line);
        }
    }
}

TEST(IniFile, ReadsWholeNumbers) {
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

TEST(IniFile, BlockLiesBetweenFirstStartAndFirstEnd) {
    TStringList block = {"stale"};
    ReadIniBlock({"x", "ListStart", "a", "LISTSTART", "b", "listend", "c"}, "LISTSTART", "LISTEND", block);
    EXPECT_EQ(block, (TStringList{"a", "LISTSTART", "b"}));
    ReadIniBlock({"LISTSTART", "a"}, "LISTSTART", "LISTEND", block);
    EXPECT_EQ(block, TStringList{"a"});
}

}  // namespace
}  // namespace quorvel
