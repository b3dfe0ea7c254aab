#include "platform/FileAppend.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"

namespace quorvel::platform {
namespace {

// A service running as root must not append remote text wherever a link
// points, nor wait on a path that can never take a line: a FIFO without a
// reader would hold the one worker thread, and with it every instance, for
// ever.
TEST(FileAppendTest, LinkedFoldersFoldersAndSpecialFilesAreRefusedAtOnce) {
    test::TempFolder dir;
    const std::string logs = dir.path() + "logs/";
    ASSERT_EQ(mkdir(logs.c_str(), 0750), 0);
    ASSERT_EQ(mkdir((logs + "folder").c_str(), 0750), 0);
    ASSERT_EQ(mkfifo((logs + "fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(symlink(logs.c_str(), (dir.path() + "linked").c_str()), 0);
    const struct {
        std::string path;
        int code;
    } cases[] = {
        {dir.path() + "linked/new.log", ELOOP}, {logs + "folder", EISDIR},
        {logs + "fifo.log", ENXIO},             {logs + std::string(5000, 'n'), ENAMETOOLONG},
        {"/dev/zero", EINVAL},
    };
    for (const auto& c : cases) {
        const int code = AppendToFile(c.path, "line\r\n");
        EXPECT_EQ(code, c.code) << c.path.substr(0, 80);
        EXPECT_EQ(AppendFailureOf(code), AppendFailure::Refused) << c.path.substr(0, 80);
    }
    EXPECT_NE(access((logs + "new.log").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace quorvel::platform
