// What POSIX files do to the server: a lock held by another opener, a write
// the system cuts short, and the file modes of Quorvel.ini.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "SjisReference.h"
#include "TestFiles.h"
#include "server/LogFile.h"
#include "server/QuorvelService.h"

namespace quorvel {
namespace {

using std::chrono::steady_clock;
using test::Sjis;

// The lines wait off the receive path, and a stop gives up on them at its
// deadline instead of spending the whole retry budget (50 s), counting and
// reporting what it lost. The ceilings are far below that budget.
TEST(LogFileTest, AStopGivesUpOnALockedFileAtItsDeadlineAndCountsTheLines) {
    test::TempFolder dir;
    TSyslogService service;
    service.Files.LogsFolder = dir.path();
    service.Files.SystemLogName = "op.log";
    service.Files.RecvLogName = "recv.log";
    service.Clock = [] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 45}; };
    const std::string path = dir.path() + "recv.log";
    // flock excludes every other open of the file, this process's own too.
    const int holder = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    const auto started = steady_clock::now();
    for (const char* message : {"one", "two", "three"}) service.ProcessMessage(message, "192.0.2.1");
    EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(5)) << "reception does not wait";
    EXPECT_FALSE(service.Flush(steady_clock::now() + std::chrono::milliseconds(700)));
    service.StopDeadline = steady_clock::now() + std::chrono::seconds(1);
    EXPECT_TRUE(service.StopListening());
    EXPECT_LT(steady_clock::now() - started, std::chrono::seconds(20));
    close(holder);

    EXPECT_EQ(test::ReadFile(path), "");
    EXPECT_EQ(service.Counters.DroppedLocked.load(), 3u);
    EXPECT_EQ(service.Counters.Written.load(), 0u);
    const std::string stamp = "2026/12/06 02:06:02.045  ";
    EXPECT_EQ(test::ReadFile(dir.path() + "op.log"),
              stamp + Sjis(u8"Quorvel サービスを停止しました") + "\r\n" + stamp +
                  Sjis(u8"ログファイルのロックが解けず、書き込めなかったメッセージ 3 件") + "\r\n");
}

// The file may grow by ten bytes only: the write stops short and the next
// part fails. The part already written must be taken back.
TEST(LogFileTest, FailedWriteLeavesNoHalfLine) {
    test::TempFolder dir;
    const std::string path = dir.path() + "recv.log";
    test::WriteFile(path, "old line\r\n");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{20, 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        const int code = AppendOnce(path, std::string(100, 'x') + "\r\n");
        _exit(code == EFBIG && platform::AppendFailureOf(code) == platform::AppendFailure::WriteFailed ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write failure was not reported";
    EXPECT_EQ(test::ReadFile(path), "old line\r\n");
}

// The SMTP password sits in Quorvel.ini: a file anyone may read is worth a
// warning at start.
TEST(IniAccess, APasswordInAFileOthersMayReadIsWarnedAbout) {
    test::TempFolder dir;
    TSysLogServer server;
    const std::string warning = Sjis(u8"SMTPAUTHPASS を含む設定ファイルを他のユーザーが読めます: ") + dir.path() + "Quorvel.ini";
    const struct { std::string ini; mode_t mode; bool warned; } cases[] = {
        {"SMTPAUTHPASS=secret\r\n", 0644, true}, {"SMTPAUTHPASS=secret\r\n", 0640, false}, {"SMTPAUTHID=user\r\n", 0644, false},
    };
    for (const auto& c : cases) {
        test::WriteFile(dir.path() + "Quorvel.ini", c.ini);
        ASSERT_EQ(chmod((dir.path() + "Quorvel.ini").c_str(), c.mode), 0);
        ASSERT_TRUE(server.LoadConfig(dir.path()));
        const auto& notes = server.ConfigNotes;
        EXPECT_EQ(std::any_of(notes.begin(), notes.end(), [&](const TConfigNote& n) { return n.Text == warning; }),
                  c.warned)
            << c.ini;
    }
}

}  // namespace
}  // namespace quorvel
