#include "util/DString.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/Paths.h"

namespace quorvel {
namespace {

TEST(DString, MailDatesNameTheWeekdayAndOffsetOfTheDate) {
    EXPECT_EQ(FormatMailDate("+0900", TDateTime{2026, 12, 6, 2, 6, 2}), "Sun,  6 Dec 2026 02:06:02 +0900");
    // A month out of range must not index past the name tables.
    EXPECT_EQ(FormatMailDate("+0000", TDateTime{2026, 13, 1}), "???,  1 13 2026 00:00:00 +0000");
    std::string offsets;
    for (int minutes : {540, -300, 0, 330, -30}) offsets += FormatUtcOffset(minutes);
    EXPECT_EQ(offsets, "+0900-0500+0000+0530-0030");
    // The weekday of every 13th day from 1970 for about 130 years, against the C library.
    for (std::time_t t = 43200; t < 4102444800; t += 13 * 86400) {
        const std::tm* tm = std::gmtime(&t);
        char expected[4];
        std::strftime(expected, sizeof expected, "%a", tm);
        ASSERT_EQ(FormatMailDate("", TDateTime{tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday}).substr(0, 3), expected) << t;
    }
}

TEST(DString, FolderEndsInOneSeparator) {
    const struct {
        std::string folder;
        char separator;
        std::string expected;
    } cases[] = {
        {"", '/', "/"},
        {"logs", '/', "logs/"},
        {"/srv/\xC3\x81/", '/', "/srv/\xC3\x81/"},  // UTF-8 "Á": 0x81 is no lead byte here
        {"C:\\logs\\", '\\', "C:\\logs\\"},
        {"C:\\\x83\x5C", '\\', "C:\\\x83\x5C\\"},  // "ソ" ends in 0x5C but is no separator
    };
    for (const auto& c : cases) EXPECT_EQ(EnsureTrailingSeparator(c.folder, c.separator), c.expected);
    EXPECT_EQ(EnsureTrailingBackslash(""), std::string(1, platform::PathSeparator()));
}

}  // namespace
}  // namespace quorvel
