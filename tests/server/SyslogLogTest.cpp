#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "TestFiles.h"
#include "server/SyslogServer.h"

namespace quorvel {
namespace {

// Year, month, day, hour, minute, second, millisecond.
platform::LocalTime At(int y, int mo, int d, int h = 2, int mi = 6, int s = 2, int ms = 45) {
    return platform::LocalTime{y, mo, d, h, mi, s, ms};
}

class SyslogLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.LogsFolder = dir.path() + "logs/";
        service.SystemLogName = "Quorvel.log";
        service.RecvLogName = "%y-%m-syslog.log";
        service.Clock = [this] { ++clockReads; return now; };
    }
    // The file once the writer has written everything handed over so far.
    std::string Logged(const std::string& name) {
        EXPECT_TRUE(service.Flush());
        return test::ReadFile(service.LogsFolder + name);
    }

    test::TempFolder dir;
    TSyslogService service;
    platform::LocalTime now = At(2026, 12, 6);
    int clockReads = 0;
};

// All lines go to one file: the line is built in buffers kept from one
// datagram to the next, so no line may carry bytes of the one before it.
TEST_F(SyslogLogTest, ReceivedLineLayoutsAndLineEnds) {
    const std::string longest(kReceiveBufferSize, 'x');
    const struct {
        TLogType type;
        int rcode;
        const char* cnv;
        std::string message, from, line;
    } cases[] = {
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
    service.RecvLogName = "recv.log";
    std::string expected;
    for (const auto& c : cases) {
        service.LogType = c.type;
        service.LogRCode = static_cast<TLogRCode>(c.rcode);
        service.CnvCtrlCode = c.cnv;
        service.WriteReceivedLog(c.message, c.from);
        EXPECT_EQ(Logged("recv.log"), expected += c.line) << c.from;
    }
    // A NUL goes even when control bytes are replaced.
    const std::string kana = test::Sjis(u8"ソース");  // trail bytes 0x5C and 0x5B among them
    service.CnvCtrlCode = "[]";
    EXPECT_EQ(service.ConvertControlCodes(std::string("a\0b\x1F" "c\x7F", 6) + kana), "ab[]c\x7F" + kana);
}

TEST_F(SyslogLogTest, DatedFileNamesAndOperationLogLineEnds) {
    now = At(2026, 3, 9);
    const std::pair<std::string, std::string> cases[] = {
        {"%y-%m-syslog.log", "2026-03-syslog.log"}, {"%Y%M%D.log", "20260309.log"},
        {"%d%m%y", "09032026"}, {"a%%yb%Q%", "a%2026b%Q%"},
    };
    for (const auto& c : cases) EXPECT_EQ(service.ExpandLogFileName(c.first), c.second) << c.first;
    const int reads = clockReads;
    EXPECT_EQ(service.ExpandLogFileName("plain.log"), "plain.log");
    EXPECT_EQ(clockReads, reads);

    // The operation log ends its lines in CR LF whatever RCODE says.
    service.LogRCode = rcLF;
    service.WriteOperationLog("started", "");
    service.WriteOperationLog("ReadCount Socket_Error", "192.168.0.5 90");
    EXPECT_EQ(Logged("Quorvel.log"), "2026/03/09 02:06:02.045  started\r\n"
                                     "2026/03/09 02:06:02.045 192.168.0.5 90 ReadCount Socket_Error\r\n");
}

// A refused received-message log loses the line, counted and said once; an
// operation-log line that its file does not take goes to the fallback (the
// system log) with the path and the reason.
TEST_F(SyslogLogTest, WriteErrors) {
    std::filesystem::create_directories(service.LogsFolder + "folder");
    service.RecvLogName = service.SystemLogName = "folder";
    // Shared: the writer may still call the fallback while the instance stops.
    auto fallback = std::make_shared<std::vector<std::string>>();
    service.OperationLogFallback = [fallback](const std::string& text) { fallback->push_back(text); };
    service.WriteReceivedLog("m", "h");
    ASSERT_TRUE(service.Flush());
    service.WriteReceivedLog("m", "h");
    service.WriteOperationLog("lost line", "h");
    ASSERT_TRUE(service.Flush());
    EXPECT_EQ(service.Counters.DroppedWriteFailed.load(), 2u);
    // The refusal once, the line itself and the writer's count.
    ASSERT_EQ(fallback->size(), 3u);
    for (const std::string& text : *fallback) EXPECT_NE(text.find("folder (error "), std::string::npos) << text;
    EXPECT_NE(fallback->at(0).find(test::Sjis(u8"ログファイルへの書き込みを拒否しました")), std::string::npos);
    EXPECT_EQ(std::count_if(fallback->begin(), fallback->end(),
                            [](const std::string& t) { return t.find(" h lost line") != std::string::npos; }), 1);
}

}  // namespace
}  // namespace quorvel
