// Which old logs go: names read back through the instance's own pattern,
// and a plan that touches nothing a pattern cannot have written.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "server/LogRetention.h"
#include "server/Retention.h"

namespace quorvel {
namespace {

using platform::EntryKind;
using platform::FolderEntry;

TEST(RetentionTest, ANameTellsTheLastDayItsPatternCanHaveWrittenInto) {
    const struct {
        const char* pattern;
        const char* name;
        bool matches;
        int year, month, day;  // the last day the file takes lines for
    } cases[] = {
        {"%Y%M%D.log", "20261208.log", true, 2026, 12, 8},
        {"%y-%m-syslog.log", "2026-02-syslog.log", true, 2026, 2, 28},  // monthly: the month's end
        {"%Y-%M-syslog.log", "2024-02-syslog.log", true, 2024, 2, 29},
        {"%Y.log", "2025.log", true, 2025, 12, 31},
        {"d%D-%Y%m.txt", "d31-202601.txt", true, 2026, 1, 31},
        {"%Y%M%D-%Y.log", "20260105-2026.log", true, 2026, 1, 5},  // a field twice must agree
        {"%Y%M%D-%Y.log", "20260105-2025.log", false, 0, 0, 0},
        {"%Y%M%D.log", "20260230.log", false, 0, 0, 0},  // no such day
        {"%Y%M%D.log", "20261301.log", false, 0, 0, 0},
        {"%Y%M%D.log", "2026120.log", false, 0, 0, 0},
        {"%Y%M%D.log", "20261208.log.1", false, 0, 0, 0},
        {"%Y%M%D.log", "x20261208.log", false, 0, 0, 0},
        {"%Y%M%D.log", "2026-1208.log", false, 0, 0, 0},
        {"%Y%M%D.LOG", "20261208.log", false, 0, 0, 0},  // the literal part is exact
        {"%M%D.log", "1208.log", false, 0, 0, 0},        // repeats every year: no age
        {"Quorvel.log", "Quorvel.log", false, 0, 0, 0},
        {"100%%Y_%x.log", "100%2026_%x.log", true, 2026, 12, 31},  // other "%" are bytes
    };
    for (const auto& c : cases) {
        const TDatedPattern pattern(c.pattern);
        long long day = 0;
        ASSERT_EQ(pattern.LastDayOf(c.name, day), c.matches) << c.pattern << " " << c.name;
        if (!c.matches) continue;
        EXPECT_EQ(day, DayNumber(c.year, c.month, c.day)) << c.pattern << " " << c.name;
    }
    EXPECT_EQ(DayNumber(1970, 1, 1), 0);
    EXPECT_EQ(DayNumber(2000, 3, 1) - DayNumber(2000, 2, 28), 2);  // 2000 was a leap year
    EXPECT_EQ(DayNumber(2100, 3, 1) - DayNumber(2100, 2, 28), 1);  // 2100 is not
    EXPECT_FALSE(TDatedPattern("%m%d.log").Dated());
    EXPECT_TRUE(TDatedPattern("%y.log").Dated());
}

std::string Daily(long long dayNumber, const char* suffix = "") {
    // Back from the day number through the calendar, by walking: the test
    // must not share the code it checks.
    int y = 1970, m = 1, d = 1;
    for (long long n = 0; n < dayNumber; ++n) {
        if (++d <= DaysInMonth(y, m)) continue;
        d = 1;
        if (++m > 12) m = 1, ++y;
    }
    char name[64];
    std::snprintf(name, sizeof name, "%04d%02d%02d-syslog.log%s", y, m, d, suffix);
    return name;
}

std::vector<std::string> Names(const std::vector<FolderEntry>& entries) {
    std::vector<std::string> names;
    for (const FolderEntry& e : entries) names.push_back(e.Name);
    return names;
}

// A logs folder of 400 daily files of one instance among the files of
// others, an operator's notes, links and folders: only the instance's own
// old files are chosen, compressed ones counted by the same date.
TEST(RetentionTest, KeepDaysTakesExactlyThePatternsOldFilesAndNothingElse) {
    const platform::LocalTime today{2026, 12, 8, 3, 0, 0};
    const long long todayNumber = DayNumber(2026, 12, 8);
    std::vector<FolderEntry> listing;
    std::set<std::string> expectedDeleted;
    for (long long age = 0; age < 400; ++age) {
        // Some already compressed, one cut short in its compression.
        const char* suffix = age % 7 == 3 ? ".gz" : age == 200 ? ".gz.tmp" : "";
        listing.push_back({Daily(todayNumber - age, suffix), 1000, EntryKind::File});
        if (age > 90) expectedDeleted.insert(listing.back().Name);
    }
    listing.push_back({Daily(todayNumber - 300, ".old"), 5, EntryKind::File});      // not the pattern's
    listing.push_back({"20250101-other.log", 5, EntryKind::File});                 // another instance
    listing.push_back({"notes.txt", 5, EntryKind::File});
    listing.push_back({Daily(todayNumber - 350), 0, EntryKind::Link});             // a link by a dated name
    listing.push_back({Daily(todayNumber - 351), 0, EntryKind::Folder});
    listing.push_back({Daily(todayNumber - 352) + ".gz", 0, EntryKind::Link});
    listing.push_back({"2024-01-op.log", 7, EntryKind::File});                      // the operation log, monthly
    listing.push_back({"2026-09-op.log", 7, EntryKind::File});                      // its last day: 69 days ago
    listing.push_back({"2026-12-op.log", 7, EntryKind::File});
    expectedDeleted.insert("2024-01-op.log");
    const std::vector<std::string> patterns = {"%Y%M%D-syslog.log", "%Y-%M-op.log"};

    const TRetentionPlan keep = PlanRetention(patterns, listing, today, {90, 0}, {});
    const std::vector<std::string> deleted = Names(keep.Delete);
    EXPECT_EQ(std::set<std::string>(deleted.begin(), deleted.end()), expectedDeleted);
    EXPECT_EQ(deleted.size(), expectedDeleted.size()) << "each once";
    EXPECT_EQ(deleted.front(), "2024-01-op.log") << "oldest first";
    EXPECT_TRUE(keep.Compress.empty());

    // Compression after 30 days, nothing deleted: the originals between 31
    // and 399 days old without a compressed copy, never today's file in use;
    // the leftover of a cut-short run is cleared away.
    listing.push_back({Daily(todayNumber - 40) + ".gz", 10, EntryKind::File});  // both exist: left alone
    const std::string inUse = Daily(todayNumber - 35);                          // e.g. a clock set back
    const TRetentionPlan squeeze = PlanRetention(patterns, listing, today, {0, 30}, {inUse, "2026-12-op.log"});
    EXPECT_EQ(Names(squeeze.Delete), std::vector<std::string>{Daily(todayNumber - 200, ".gz.tmp")});
    std::vector<std::string> expectedCompressed = {"2024-01-op.log"};
    for (long long age = 399; age > 30; --age) {
        if (age % 7 != 3 && age != 200 && age != 40 && age != 35) expectedCompressed.push_back(Daily(todayNumber - age));
    }
    expectedCompressed.push_back("2026-09-op.log");
    std::vector<std::string> compressed = Names(squeeze.Compress);
    EXPECT_EQ(compressed.size(), expectedCompressed.size());
    EXPECT_EQ(compressed.front(), "2024-01-op.log");
    EXPECT_EQ(std::set<std::string>(compressed.begin(), compressed.end()),
              std::set<std::string>(expectedCompressed.begin(), expectedCompressed.end()));

    // Neither key: nothing at all.
    const TRetentionPlan off = PlanRetention(patterns, listing, today, {0, 0}, {});
    EXPECT_TRUE(off.Delete.empty() && off.Compress.empty());
}

// Low, back, low again: a line each time, but a mail only once an hour
// while the disk stays (or falls again) below the floor.
TEST(RetentionTest, TheDiskWatchMailsAtMostOnceAnHour) {
    using namespace std::chrono;
    constexpr uint64_t kMB = 1 << 20;
    TDiskWatch watch(8 * kMB);
    const TDiskWatch::TTime t0{};
    const struct { uint64_t freeMB; minutes at; bool low, mail, back; } steps[] = {
        {9, 0min, false, false, false},  {7, 1min, true, true, false},   {6, 2min, false, false, false},
        {8, 3min, false, false, false},  // not back until 1 MB above the floor
        {9, 4min, false, false, true},   {5, 5min, true, false, false},  // within the hour: no mail
        {5, 61min, false, true, false},  {5, 62min, false, false, false}, {100, 63min, false, false, true},
    };
    for (const auto& step : steps) {
        const TDiskWatch::TVerdict v = watch.Check(step.freeMB * kMB, t0 + step.at);
        EXPECT_EQ(std::make_tuple(v.WentLow, v.Mail, v.CameBack), std::make_tuple(step.low, step.mail, step.back))
            << step.at.count() << " min";
    }
    EXPECT_FALSE(TDiskWatch().Check(0, t0).WentLow) << "0 is off";
}

}  // namespace
}  // namespace quorvel
