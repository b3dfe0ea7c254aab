#include "platform/FileAppend.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "TestFiles.h"

namespace quorvel::platform {
namespace {

// A FIFO where a log file is expected (left in the logs folder by another
// user, or a mistyped file name) has no reader. Opening it for writing would
// wait for one for ever and take the whole server with it: every instance is
// served by the one worker thread, which then never sees a stop request.
TEST(FileAppendTest, FifoWithoutReaderFailsAtOnceInsteadOfHanging) {
    test::TempFolder dir;
    const std::string path = dir.path() + "2026-12-syslog.log";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);

    auto append = std::async(std::launch::async, [&path] {
        int code = 0;
        AppendStatus status = AppendToFile(path, "line\r\n", &code);
        return std::make_pair(status, code);
    });
    const bool finished = append.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!finished) {
        // Give the stuck open its reader so that the test itself can end.
        int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        append.wait();
        if (reader >= 0) close(reader);
    }
    ASSERT_TRUE(finished) << "the append waited for a reader of the FIFO";
    const auto [status, code] = append.get();
    // Refused, not retried: a FIFO takes no log lines however long one waits.
    EXPECT_EQ(status, AppendStatus::Refused);
    EXPECT_NE(code, 0);
}

// A service running as root must not append remote text wherever a link in
// its logs folder points, nor wait on a path that can never take a line.
TEST(FileAppendTest, LinksFoldersAndLinkedFoldersAreRefusedAtOnce) {
    test::TempFolder dir;
    const std::string target = dir.path() + "target";
    test::WriteFile(target, "untouched");
    ASSERT_EQ(mkdir((dir.path() + "logs").c_str(), 0750), 0);
    ASSERT_EQ(mkdir((dir.path() + "logs/folder").c_str(), 0750), 0);
    ASSERT_EQ(symlink(target.c_str(), (dir.path() + "logs/link.log").c_str()), 0);
    ASSERT_EQ(symlink((dir.path() + "made").c_str(), (dir.path() + "logs/dangling.log").c_str()), 0);
    ASSERT_EQ(symlink((dir.path() + "logs").c_str(), (dir.path() + "linked").c_str()), 0);
    const struct {
        std::string path;
        int code;
    } cases[] = {
        {dir.path() + "logs/link.log", ELOOP},
        {dir.path() + "logs/dangling.log", ELOOP},
        {dir.path() + "logs/folder", EISDIR},
        {dir.path() + "linked/new.log", ELOOP},
        {dir.path() + "logs/" + std::string(5000, 'n'), ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        int code = 0;
        EXPECT_EQ(AppendToFile(c.path, "line\r\n", &code), AppendStatus::Refused) << c.path.substr(0, 80);
        EXPECT_EQ(code, c.code) << c.path.substr(0, 80);
    }
    EXPECT_EQ(test::ReadFile(target), "untouched");
    EXPECT_NE(access((dir.path() + "made").c_str(), F_OK), 0);
    EXPECT_NE(access((dir.path() + "logs/new.log").c_str(), F_OK), 0);
}

// Owner writes, group reads, others nothing: whoever cannot open a log
// cannot hold its lock either.
TEST(FileAppendTest, NewFilesGiveOthersNoAccess) {
    test::TempFolder dir;
    const mode_t saved = umask(0);
    const AppendStatus status = AppendToFile(dir.path() + "new.log", "line\r\n");
    umask(saved);
    ASSERT_EQ(status, AppendStatus::Written);
    struct stat st {};
    ASSERT_EQ(stat((dir.path() + "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace quorvel::platform
