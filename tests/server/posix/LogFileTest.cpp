#include "server/LogFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "TestFiles.h"

namespace quorvel {
namespace {

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Another process holds the whole-file lock for a second; the line waits for
// it, lands whole after the lines already there, and nothing is truncated.
TEST(LogFileTest, LineWaitsForAnotherProcessHoldingTheLock) {
    test::TempFolder dir;
    const std::string path = dir.path() + "op.log";
    test::WriteFile(path, "first\r\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
        (void)!write(ready[1], "x", 1);
        usleep(1000 * 1000);
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
    const auto start = Clock::now();
    EXPECT_TRUE(AppendLine(path, "second"));
    const double waited = SecondsSince(start);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_GE(waited, 0.8);
    EXPECT_LT(waited, 3.0);
    EXPECT_EQ(test::ReadFile(path), "first\r\nsecond\r\n");
}

TEST(LogFileTest, RemovedFolderIsMadeAgainAndTheLineWrittenAtOnce) {
    test::TempFolder dir;
    const std::string folder = dir.path() + "logs";
    std::filesystem::create_directory(folder);
    std::filesystem::remove(folder);
    const auto start = Clock::now();
    EXPECT_TRUE(AppendText(folder + "/recv.log", "line", "\n"));
    EXPECT_LT(SecondsSince(start), 0.4);
    EXPECT_EQ(test::ReadFile(folder + "/recv.log"), "line\n");
    // A folder that cannot be made (its parent is missing too) fails at once.
    EXPECT_FALSE(AppendLine(dir.path() + "a/b/recv.log", "line"));
    EXPECT_LT(SecondsSince(start), 0.4);
}

// The file may grow by ten bytes only: the first write stops short, the next
// fails. The part already written must be taken back.
TEST(LogFileTest, FailedWriteLeavesNoHalfLine) {
    test::TempFolder dir;
    const std::string path = dir.path() + "recv.log";
    test::WriteFile(path, "old line\r\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{20, 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            AppendText(path, std::string(100, 'x'), "\r\n");
        } catch (const TLogWriteError& e) {
            _exit(e.Code() == EFBIG ? 0 : 2);
        }
        _exit(1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write failure was not reported";
    EXPECT_EQ(test::ReadFile(path), "old line\r\n");
}

}  // namespace
}  // namespace quorvel
