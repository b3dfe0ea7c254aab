// One instance's own work: its log lines and file names, what it does when a
// write fails, which keyword a message triggers, and the storm guard of its
// alert mails on a clock the test moves.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "TestFiles.h"
#include "server/AlertThrottle.h"
#include "server/ServerTexts.h"
#include "server/SyslogServer.h"

namespace quorvel {
namespace {

using namespace std::string_literals;
using std::chrono::seconds;
using test::Sjis;

class SyslogServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.Files.LogsFolder = dir.path() + "logs/";
        service.Files.SystemLogName = "Quorvel.log";
        service.Files.RecvLogName = "recv.log";
        service.Clock = [this] { return now; };
    }
    // The file once the writer has written everything handed over so far.
    std::string Logged(const std::string& name) {
        EXPECT_TRUE(service.Flush());
        return test::ReadFile(service.Files.LogsFolder + name);
    }

    test::TempFolder dir;
    TSyslogService service;
    platform::LocalTime now{2026, 12, 6, 2, 6, 2, 45};
};

// All lines go to one file: the line is built in buffers kept from one
// datagram to the next, so no line may carry bytes of the one before it.
TEST_F(SyslogServiceTest, ReceivedLineLayoutsAndLineEnds) {
    const std::string longest(kReceiveBufferSize, 'x');
    const struct { TLogType type; int rcode; const char* cnv; std::string message, from, line; } cases[] = {
        {ltMeta, rcCRLF, "", longest, "192.0.2.1", "2026/12/06 02:06:02.045 192.0.2.1 " + longest + "\r\n"},
        // Quotes are doubled before control bytes are replaced, so the quote
        // of the replacement stays single.
        {ltComma, rcCR, "\"", std::string("a\"b\x01" "c\0d", 7), "2001:db8::1",
         "\"2026/12/06\",\"02:06:02.045\",\"2001:db8::1\",\"a\"\"b\"cd\"\r"},
        {ltTab, rcLF, "", "<13>say \"hi\"\tnow\n", "10.0.0.1", "2026/12/06\t02:06:02.045\t10.0.0.1\t<13>say \"hi\"now\n"},
        {ltMeta, 3, "", "\n", "10.0.0.2", "2026/12/06 02:06:02.045 10.0.0.2 "},
        // Bytes to change at the first, a middle and the last place of a
        // long message, and in words of eight that are otherwise plain.
        {ltComma, rcLF, "_", "\x1F" "bcdefg\x01hijklmnopq\"rstuvwxyz0123456789\x7F\x80\x1F",
         "10.0.0.4", "\"2026/12/06\",\"02:06:02.045\",\"10.0.0.4\",\"_bcdefg_hijklmnopq\"\"rstuvwxyz0123456789\x7F\x80_\"\n"},
        {ltMeta, rcLF, "_", "abcdefgh\"jklmnop\x02", "10.0.0.5", "2026/12/06 02:06:02.045 10.0.0.5 abcdefgh\"jklmnop_\n"},
        {static_cast<TLogType>(3), rcCRLF, "", "dropped", "10.0.0.3", ""},
    };
    std::string expected;
    for (const auto& c : cases) {
        service.Files.LogType = c.type;
        service.Files.LogRCode = static_cast<TLogRCode>(c.rcode);
        service.Files.CnvCtrlCode = c.cnv;
        service.WriteReceivedLog(c.message, c.from);
        EXPECT_EQ(Logged("recv.log"), expected += c.line) << c.from;
    }
    // A NUL goes even when control bytes are replaced.
    const std::string kana = Sjis(u8"ソース");  // trail bytes 0x5C and 0x5B among them
    service.Files.CnvCtrlCode = "[]";
    EXPECT_EQ(service.ConvertControlCodes(std::string("a\0b\x1F" "c\x7F", 6) + kana), "ab[]c\x7F" + kana);
}

TEST_F(SyslogServiceTest, DatedFileNamesAndOperationLogLineEnds) {
    now.Month = 3, now.Day = 9;
    const std::pair<std::string, std::string> cases[] = {
        {"%y-%m-syslog.log", "2026-03-syslog.log"}, {"%Y%M%D.log", "20260309.log"}, {"%d%m%y", "09032026"},
        {"a%%yb%Q%", "a%2026b%Q%"}};
    for (const auto& c : cases) EXPECT_EQ(service.ExpandLogFileName(c.first), c.second) << c.first;

    // The operation log ends its lines in CR LF whatever RCODE says.
    service.Files.LogRCode = rcLF;
    service.WriteOperationLog("started", "");
    service.WriteOperationLog("ReadCount Socket_Error", "192.168.0.5 90");
    EXPECT_EQ(Logged("Quorvel.log"), "2026/03/09 02:06:02.045  started\r\n"
                                     "2026/03/09 02:06:02.045 192.168.0.5 90 ReadCount Socket_Error\r\n");
}

// A refused received-message log loses the line, counted and said once; an
// operation-log line that its file does not take goes to the fallback (the
// system log) with the path and the reason.
TEST_F(SyslogServiceTest, WriteErrors) {
    std::filesystem::create_directories(service.Files.LogsFolder + "folder");
    service.Files.RecvLogName = service.Files.SystemLogName = "folder";
    // Shared: the writer may still call the fallback while the instance stops.
    auto fallback = std::make_shared<std::vector<std::string>>();
    service.SetOperationLogFallback([fallback](const std::string& text) { fallback->push_back(text); });
    service.WriteReceivedLog("m", "h");
    ASSERT_TRUE(service.Flush());
    service.WriteReceivedLog("m", "h");
    service.WriteOperationLog("lost line", "h");
    ASSERT_TRUE(service.Flush());
    EXPECT_EQ(service.Counters.DroppedWriteFailed.load(), 2u);
    // The refusal once, the line itself and the writer's count.
    ASSERT_EQ(fallback->size(), 3u);
    for (const std::string& text : *fallback) EXPECT_NE(text.find("folder (error "), std::string::npos) << text;
    EXPECT_NE(fallback->at(0).find(Sjis(u8"ログファイルへの書き込みを拒否しました")), std::string::npos);
    EXPECT_EQ(std::count_if(fallback->begin(), fallback->end(),
                            [](const std::string& t) { return t.find(" h lost line") != std::string::npos; }), 1);
    // A logs folder that cannot be made (its parent is missing too): counted too.
    service.Files.LogsFolder = dir.path() + "a/b/";
    service.WriteReceivedLog("m", "h");
    ASSERT_TRUE(service.Flush());
    EXPECT_EQ(service.Counters.DroppedWriteFailed.load(), 3u);
}

TEST(KeywordMatch, FirstInListOrderOutsideTrailBytesAndBeforeTheFirstNul) {
    // "ソ" is 0x83 0x5C (its trail byte a backslash), "ア" is 0x83 0x41 ("A").
    const struct { std::vector<std::string> keywords; std::string message, match; } cases[] = {
        {{"Error", "error"}, "ERROR error", "error"}, {{""}, "anything", ""},
        {{"error"}, "ok\0error"s, ""}, {{"error"}, "error\0ok"s, "error"},
        {{"\\n", "A"}, Sjis("ソn"), ""}, {{"\\n", "A"}, Sjis("ソn\\n"), "\\n"},  // a later real occurrence counts
        {{"\\n", "A"}, Sjis("ア"), ""}, {{"\\n", "A"}, Sjis("アA"), "A"}, {{Sjis("ソ")}, Sjis("xソ"), Sjis("ソ")},
    };
    for (const auto& c : cases) {
        TKeywordList list;
        for (const auto& k : c.keywords) list.push_back({k, {"ops@example.org"}});
        const TKeyword* found = TSyslogService::FindKeyword(list, c.message);
        EXPECT_EQ(found ? found->Keyword : "", c.match) << c.message;
    }
}

// An alert handed over after the stop is reported as not sent, not lost.
TEST_F(SyslogServiceTest, AnAlertPostedAfterTheStopIsReportedNotSent) {
    TLogWriter writer(service.Counters, service.Files, service.Clock, {});
    TAlertMailer mailer(service.Mail, service.Counters, writer);
    mailer.Stop();
    ASSERT_TRUE(mailer.Reserve());
    TAlertJob job;
    job.Addresses = {"ops@example.org"}, job.Keyword = "disk";
    mailer.Post(job);
    EXPECT_EQ(service.Counters.MailsFailed.load(), 1u);
    EXPECT_TRUE(mailer.WaitIdle(std::chrono::steady_clock::now()));
    ASSERT_TRUE(writer.WaitIdle(std::chrono::steady_clock::now() + seconds(10)));
    EXPECT_EQ(test::ReadFile(service.Files.LogsFolder + "Quorvel.log"),
              "2026/12/06 02:06:02.045  127.0.0.1"s + texts::kLogMailTo + "ops@example.org" + texts::kLogMailFailed +
                  "(disk) (not sent: the service stopped)\r\n");
}

platform::LocalTime Wall(int second) { return platform::LocalTime{2026, 12, 7, 10, 0, second, 0}; }
const TAlertThrottle::TTimePoint t0{};

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
