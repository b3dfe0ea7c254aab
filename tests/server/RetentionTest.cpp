// Which old logs may go: a name read back through the instance's own
// pattern tells the last day its file took lines for (the end-to-end
// scenario proves the whole plan on a folder of 400 days).

#include <gtest/gtest.h>

#include <string>

#include "server/Retention.h"

namespace quorvel {
namespace {

TEST(RetentionTest, ANameTellsTheLastDayItsPatternCanHaveWrittenInto) {
    const long long none = -1;  // not a name the pattern writes
    const struct { const char* pattern; const char* name; long long lastDay; } cases[] = {
        {"%Y%M%D.log", "20261208.log", DayNumber(2026, 12, 8)},
        {"%y-%m-syslog.log", "2026-02-syslog.log", DayNumber(2026, 2, 28)},  // monthly: the month's end
        {"%Y-%M-syslog.log", "2024-02-syslog.log", DayNumber(2024, 2, 29)},
        {"%Y.log", "2025.log", DayNumber(2025, 12, 31)}, {"d%D-%Y%m.txt", "d31-202601.txt", DayNumber(2026, 1, 31)},
        {"%Y%M%D-%Y.log", "20260105-2026.log", DayNumber(2026, 1, 5)},  // a field twice must agree
        {"%Y%M%D-%Y.log", "20260105-2025.log", none}, {"Quorvel.log", "Quorvel.log", none},
        {"%Y%M%D.log", "20260230.log", none}, {"%Y%M%D.log", "20261301.log", none},  // no such day
        {"%Y%M%D.log", "2026120.log", none}, {"%Y%M%D.log", "20261208.log.1", none},
        {"%Y%M%D.log", "x20261208.log", none}, {"%Y%M%D.log", "2026-1208.log", none},
        {"%Y%M%D.LOG", "20261208.log", none},  // the literal part is exact
        {"%M%D.log", "1208.log", none},        // repeats every year: no age
        {"100%%Y_%x.log", "100%2026_%x.log", DayNumber(2026, 12, 31)},  // other "%" are bytes
    };
    for (const auto& c : cases) {
        long long day = none;
        EXPECT_EQ(TDatedPattern(c.pattern).LastDayOf(c.name, day) ? day : none, c.lastDay) << c.pattern << " " << c.name;
    }
    EXPECT_EQ(DayNumber(1970, 1, 1), 0);
    EXPECT_EQ(DayNumber(2000, 3, 1) - DayNumber(2000, 2, 28), 2);  // 2000 was a leap year
    EXPECT_EQ(DayNumber(2100, 3, 1) - DayNumber(2100, 2, 28), 1);  // 2100 is not
    EXPECT_FALSE(TDatedPattern("%m%d.log").Dated());
    EXPECT_TRUE(TDatedPattern("%y.log").Dated());
}

}  // namespace
}  // namespace quorvel
