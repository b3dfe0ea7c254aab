// What POSIX files do to the server: a lock held by another opener and a write
// the system cuts short.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

// Another process's lock holds the lines up for about a second, then they go
// in without it, and so does everything else while that hold lasts: a
// reader can delay the log, never silence it. Each hold is said once; a stop
// does not wait for the lock at all.
TEST(LogFileTest, AnotherOpenersLockDelaysTheLinesBrieflyAndCostsNone) {
    test::TempFolder dir;
    TSyslogService service;
    service.Files.LogsFolder = dir.path();
    service.Files.SystemLogName = "op.log", service.Files.RecvLogName = "recv.log";
    service.Clock = [] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 45}; };
    const std::string path = dir.path() + "recv.log", stamp = "2026/12/06 02:06:02.045 ";
    const std::string skipped =
        stamp + " " + Sjis(u8"ログファイルのロックが他のプロセスに保持されたままのため、ロックせずに追記します: ") + path + "\r\n";
    // flock excludes every other open of the file, this process's own too.
    const int holder = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0640);
    ASSERT_GE(holder, 0);
    std::string lines;
    auto written = [&](const char* message, int withinMs) {
        service.ProcessMessage(message, "192.0.2.1");
        lines += stamp + "192.0.2.1 " + message + "\r\n";
        return service.Flush(steady_clock::now() + std::chrono::milliseconds(withinMs));
    };

    for (int hold = 1; hold <= 2; ++hold) {
        ASSERT_EQ(flock(holder, LOCK_EX), 0);
        const auto started = steady_clock::now();
        EXPECT_FALSE(written("one", 400)) << "the lock is waited for a moment";
        EXPECT_TRUE(written("two", 5000));
        EXPECT_GE(steady_clock::now() - started, std::chrono::milliseconds(900));
        EXPECT_TRUE(written("three", 500)) << "within the same hold, no second wait";
        ASSERT_EQ(flock(holder, LOCK_UN), 0);
        EXPECT_TRUE(written("four", 500));
    }
    EXPECT_EQ(test::ReadFile(dir.path() + "op.log"), skipped + skipped);

    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    const auto stopped = steady_clock::now();
    written("five", 0);  // left for the stop to write
    service.StopDeadline = steady_clock::now() + std::chrono::milliseconds(200);
    EXPECT_TRUE(service.StopListening());
    EXPECT_LT(steady_clock::now() - stopped, std::chrono::milliseconds(900));
    close(holder);
    EXPECT_EQ(test::ReadFile(path), lines);
    EXPECT_EQ(service.Counters.Written.load(), 9u);
    EXPECT_EQ(service.Counters.LockSkipped.load(), 7u);
    EXPECT_EQ(service.Counters.DroppedLocked.load(), 0u);
}

// The file may grow by ten bytes only: the write stops short and the next
// part fails. The part already written must be taken back.
TEST(LogFileTest, FailedWriteLeavesNoHalfLine) {
    test::TempFolder dir;
    const std::string path = dir.path() + "recv.log";
    test::WriteFile(path, "old line\r\n");
    // Under the lock, and without it while another opener holds the lock.
    for (const platform::AppendLock mode : {platform::AppendLock::Required, platform::AppendLock::IfFree}) {
        const int holder = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        if (mode == platform::AppendLock::IfFree) { ASSERT_EQ(flock(holder, LOCK_EX), 0); }
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{20, 20};
            setrlimit(RLIMIT_FSIZE, &limit);
            bool skipped = false;
            const int code = AppendOnce(path, std::string(100, 'x') + "\r\n", mode, &skipped);
            const bool reported = code == EFBIG && platform::AppendFailureOf(code) == platform::AppendFailure::WriteFailed;
            _exit(reported && skipped == (mode == platform::AppendLock::IfFree) ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        close(holder);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the write failure was not reported: " << status;
        EXPECT_EQ(test::ReadFile(path), "old line\r\n");
    }
}

}  // namespace
}  // namespace quorvel
