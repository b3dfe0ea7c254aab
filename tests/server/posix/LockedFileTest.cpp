// A received-message log that another opener keeps locked: the lines wait
// off the receive path, and a stop gives up on them at its deadline instead
// of spending the whole retry budget, counting and reporting what it lost.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SjisReference.h"
#include "TestFiles.h"
#include "server/SyslogServer.h"

namespace quorvel {
namespace {

using std::chrono::steady_clock;

TEST(LockedFileTest, AStopGivesUpOnALockedFileAtItsDeadlineAndCountsTheLines) {
    test::TempFolder dir;
    TSyslogService service;
    service.LogsFolder = dir.path();
    service.SystemLogName = "op.log";
    service.RecvLogName = "recv.log";
    service.Clock = [] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 45}; };

    const std::string path = dir.path() + "recv.log";
    // flock excludes every other open of the file, this process's own too.
    const int holder = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    const auto started = steady_clock::now();
    for (const char* message : {"one", "two", "three"}) service.ProcessMessage(message, "192.0.2.1");
    EXPECT_LT(steady_clock::now() - started, std::chrono::milliseconds(200)) << "reception does not wait";
    EXPECT_FALSE(service.Flush(steady_clock::now() + std::chrono::milliseconds(700)));

    service.StopDeadline = steady_clock::now() + std::chrono::seconds(1);
    EXPECT_TRUE(service.StopListening());
    EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(3));
    close(holder);

    EXPECT_EQ(test::ReadFile(path), "");
    EXPECT_EQ(service.Counters.DroppedLocked.load(), 3u);
    EXPECT_EQ(service.Counters.Written.load(), 0u);
    const std::string stamp = "2026/12/06 02:06:02.045  ";
    EXPECT_EQ(test::ReadFile(dir.path() + "op.log"),
              stamp + test::Sjis(u8"Quorvel サービスを停止しました") + "\r\n" + stamp +
                  test::Sjis(u8"ログファイルのロックが解けず、書き込めなかったメッセージ 3 件") + "\r\n");
}

}  // namespace
}  // namespace quorvel
