// Which keyword a message triggers, and the storm guard on a clock the test
// moves: which matches are mailed, and what the next mail learns about the
// ones held back.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "server/AlertThrottle.h"
#include "server/SyslogServer.h"

namespace quorvel {
namespace {

using namespace std::string_literals;
using std::chrono::seconds;
using test::Sjis;

TEST(KeywordMatch, FirstInListOrderOutsideTrailBytesAndBeforeTheFirstNul) {
    // "ソ" is 0x83 0x5C (its trail byte a backslash), "ア" is 0x83 0x41 ("A").
    const struct {
        std::vector<std::string> keywords;
        std::string message, match;
    } cases[] = {
        {{"Error", "error", "disk"}, "disk Error and error", "Error"},  // list order, not position
        {{"Error"}, "ERROR", ""},
        {{""}, "anything", ""},
        {{"error"}, "ok\0error"s, ""},
        {{"error"}, "error\0ok"s, "error"},
        {{"\\n", "A"}, Sjis("ソn"), ""},
        {{"\\n", "A"}, Sjis("ソn\\n"), "\\n"},  // a later real occurrence still counts
        {{"\\n", "A"}, Sjis("ア"), ""},
        {{"\\n", "A"}, Sjis("アA"), "A"},
        {{Sjis("ソ")}, Sjis("xソ"), Sjis("ソ")},
    };
    for (const auto& c : cases) {
        TKeywordList list;
        for (const auto& k : c.keywords) list.push_back({k, {"ops@example.org"}});
        const TKeyword* found = TSyslogService::FindKeyword(list, c.message);
        EXPECT_EQ(found ? found->Keyword : "", c.match) << c.message;
    }
}

platform::LocalTime Wall(int second) { return platform::LocalTime{2026, 12, 7, 10, 0, second, 0}; }
const TAlertThrottle::TTimePoint t0{};

TEST(AlertThrottle, OneMailPerKeywordAndAddressPerIntervalAndTheNextCarriesTheCount) {
    TAlertThrottle guard(60);
    THeldAlerts held;
    struct Step {
        int at;  // seconds after t0
        const char* keyword;
        const char* address;
        bool mailed;
        uint64_t count;   // held count reported by this step
        int first, last;  // wall seconds of the held matches reported (mailed steps)
    } const steps[] = {
        {0, "error", "a@x", true, 0, 0, 0},      {1, "error", "a@x", false, 1, 0, 0},
        {1, "error", "b@x", true, 0, 0, 0},      {2, "disk", "a@x", true, 0, 0, 0},
        {5, "error", "a@x", false, 2, 0, 0},     {59, "error", "a@x", false, 3, 0, 0},
        {60, "error", "a@x", true, 3, 1, 59},    // the interval is over: mailed with the count
        {61, "error", "a@x", false, 1, 0, 0},    // and a new interval began with that mail
        {200, "error", "a@x", true, 1, 61, 61},  {300, "error", "a@x", true, 0, 0, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::to_string(s.at) + " " + s.keyword + " " + s.address);
        EXPECT_EQ(guard.Admit(s.keyword, s.address, t0 + seconds(s.at), Wall(s.at), &held), s.mailed);
        EXPECT_EQ(held.Count, s.count);
        if (s.mailed && s.count > 0) {
            EXPECT_EQ(held.First.Second, s.first);
            EXPECT_EQ(held.Last.Second, s.last);
        }
    }
}

TEST(AlertThrottle, OffWithAZeroOrNegativeInterval) {
    for (int64_t interval : {0, -5}) {
        TAlertThrottle guard(interval);
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(guard.Admit("error", "a@x", t0, Wall(0), nullptr));
        EXPECT_EQ(guard.Size(), 0u);
    }
}

// Memory stays bounded: pairs whose interval is over and that hold nothing
// make room, and a pair that still finds none is mailed rather than lost.
TEST(AlertThrottle, CapOnPairsNeverCostsAnAlert) {
    TAlertThrottle guard(60, 3);
    for (const char* a : {"1", "2", "3"}) EXPECT_TRUE(guard.Admit("k", a, t0, Wall(0), nullptr));
    EXPECT_FALSE(guard.Admit("k", "1", t0 + seconds(1), Wall(1), nullptr));  // "1" now holds one back
    EXPECT_TRUE(guard.Admit("k", "4", t0 + seconds(2), Wall(2), nullptr));   // full: mailed, not kept
    EXPECT_TRUE(guard.Admit("k", "4", t0 + seconds(3), Wall(3), nullptr));
    EXPECT_EQ(guard.Size(), 3u);
    // After the interval "2" and "3" are forgotten; "1" keeps its count.
    EXPECT_TRUE(guard.Admit("k", "5", t0 + seconds(70), Wall(10), nullptr));
    EXPECT_EQ(guard.Size(), 2u);
    THeldAlerts held;
    EXPECT_TRUE(guard.Admit("k", "1", t0 + seconds(71), Wall(11), &held));
    EXPECT_EQ(held.Count, 1u);
}

}  // namespace
}  // namespace quorvel
