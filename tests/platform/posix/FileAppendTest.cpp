#include "platform/FileAppend.h"

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

}  // namespace
}  // namespace quorvel::platform
