// An event entry through systemd's native journal protocol, read back from a
// Unix datagram socket that stands in for the journal.
#include "platform/SystemLog.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SjisReference.h"
#include "TestFiles.h"
#include "platform/ServiceEnvironment.h"

namespace quorvel::platform {
namespace {

// A line end inside the text needs the journal's binary field form: name,
// line end, 64-bit little-endian length, the bytes.
TEST(SystemLogTest, TextWithLineEndsReachesTheJournalWhole) {
    const test::TempFolder dir;
    const std::string path = dir.path() + "journal";
    sockaddr_un addr{AF_UNIX, {}};
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setenv("QUORVEL_JOURNAL_SOCKET", path.c_str(), 1);

    const std::string utf8 = u8"サービス失敗 実行: line one\nline two";
    testing::internal::CaptureStderr();
    DefaultServiceEnvironment().Log->OpenEventSource("QuorvelService", false)->Report(kEventError, 0, 4294967295u,
                                                                                      test::Sjis(utf8));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no console echo in service mode";
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    unsetenv("QUORVEL_JOURNAL_SOCKET");
    ::close(fd);
    const std::string length{static_cast<char>(utf8.size()), 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0),
              "MESSAGE\n" + length + utf8 + "\nPRIORITY=3\nSYSLOG_IDENTIFIER=QuorvelService\n"
              "QUORVEL_EVENT_ID=4294967295\nQUORVEL_EVENT_CATEGORY=0\nQUORVEL_EVENT_TYPE=error\n");
}

}  // namespace
}  // namespace quorvel::platform
