#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "SjisReference.h"
#include "ServerTestSupport.h"
#include "server/LogFile.h"
#include "server/ServerTexts.h"
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
    std::string Logged(const std::string& name) { return test::ReadFile(service.LogsFolder + name); }

    test::TempFolder dir;
    TSyslogService service;
    platform::LocalTime now = At(2026, 12, 6);
    int clockReads = 0;
};

TEST_F(SyslogLogTest, ReceivedLineLayoutsAndLineEnds) {
    const std::string message = "<13>say \"hi\"\tnow\n";
    struct Case { TLogType type; std::string line; };
    const Case layouts[] = {
        {ltMeta, "2026/12/06 02:06:02.045 192.168.0.5 <13>say \"hi\"now"},
        {ltTab, "2026/12/06\t02:06:02.045\t192.168.0.5\t<13>say \"hi\"now"},
        {ltComma, "\"2026/12/06\",\"02:06:02.045\",\"192.168.0.5\",\"<13>say \"\"hi\"\"now\""},
    };
    const std::pair<TLogRCode, std::string> ends[] = {
        {rcCRLF, "\r\n"}, {rcCR, "\r"}, {rcLF, "\n"}, {static_cast<TLogRCode>(3), ""}};
    int n = 0;
    for (const auto& layout : layouts) {
        for (const auto& end : ends) {
            service.LogType = layout.type;
            service.LogRCode = end.first;
            service.RecvLogName = "recv" + std::to_string(++n) + ".log";
            service.WriteReceivedLog(message, "192.168.0.5");
            EXPECT_EQ(Logged(service.RecvLogName), layout.line + end.second) << service.RecvLogName;
        }
    }
    service.LogType = static_cast<TLogType>(3);
    service.RecvLogName = "none.log";
    service.WriteReceivedLog(message, "192.168.0.5");
    EXPECT_FALSE(std::filesystem::exists(service.LogsFolder + "none.log"));
}

TEST_F(SyslogLogTest, ControlBytes) {
    const std::string kana = test::Sjis(u8"ソース");  // trail bytes 0x5C and 0x5B among them
    const std::string text = std::string("a\0b\x01" "c\td\re\nf\x1Fg\x7F", 14) + kana;
    const std::pair<std::string, std::string> cases[] = {
        {"", "abcdefg\x7F" + kana},
        {" ", "ab c d e f g\x7F" + kana},
        {"[]", "ab[]c[]d[]e[]f[]g\x7F" + kana},
    };
    for (const auto& c : cases) {
        service.CnvCtrlCode = c.first;
        EXPECT_EQ(service.ConvertControlCodes(text), c.second) << "'" << c.first << "'";
    }
}

TEST_F(SyslogLogTest, DatedFileNames) {
    now = At(2026, 3, 9);
    const std::pair<std::string, std::string> cases[] = {
        {"%y-%m-syslog.log", "2026-03-syslog.log"}, {"%Y%M%D.log", "20260309.log"},
        {"%d%m%y", "09032026"}, {"a%%yb%Q%", "a%2026b%Q%"},
    };
    for (const auto& c : cases) EXPECT_EQ(service.ExpandLogFileName(c.first), c.second) << c.first;
    const int reads = clockReads;
    EXPECT_EQ(service.ExpandLogFileName("plain.log"), "plain.log");
    EXPECT_EQ(clockReads, reads);

    // The first line after the month's last moment opens the next month's file.
    now = At(2026, 1, 31, 23, 59, 59, 999);
    service.WriteReceivedLog("old", "h");
    now = At(2026, 2, 1, 0, 0, 0, 0);
    service.WriteReceivedLog("new", "h");
    EXPECT_EQ(Logged("2026-01-syslog.log"), "2026/01/31 23:59:59.999 h old\r\n");
    EXPECT_EQ(Logged("2026-02-syslog.log"), "2026/02/01 00:00:00.000 h new\r\n");
}

TEST_F(SyslogLogTest, OperationLogAlwaysEndsInCrLf) {
    service.LogRCode = rcLF;
    service.WriteOperationLog(texts::kLogServiceStarted, "");
    service.WriteOperationLog("ReadCount Socket_Error", "192.168.0.5 90");
    EXPECT_EQ(Logged("Quorvel.log"), "2026/12/06 02:06:02.045  " + test::Sjis(u8"Quorvel サービスを開始しました。") +
                                         "\r\n2026/12/06 02:06:02.045 192.168.0.5 90 ReadCount Socket_Error\r\n");
}

// A write error reaches the caller of the received-message log, but never the
// caller of the operation log, which has nowhere to report it.
TEST_F(SyslogLogTest, WriteErrors) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    service.LogsFolder = "/dev/";
    service.RecvLogName = service.SystemLogName = "full";
    EXPECT_THROW(service.WriteReceivedLog("m", "h"), TLogWriteError);
    EXPECT_NO_THROW(service.WriteOperationLog("m", ""));
}

}  // namespace
}  // namespace quorvel
