// An event entry through systemd's native journal protocol, read back from a
// Unix datagram socket that stands in for the journal. The plain fields are
// checked end to end; a line end inside the text needs the binary field form.
#include "platform/SystemLog.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "SjisReference.h"
#include "platform/ServiceEnvironment.h"
#include "TestFiles.h"

namespace quorvel::platform {
namespace {

// Parses systemd's native journal datagram, both field forms.
std::map<std::string, std::string> Fields(const std::string& d) {
    std::map<std::string, std::string> out;
    for (size_t i = 0, nl; (nl = d.find('\n', i)) != std::string::npos;) {
        const std::string line = d.substr(i, nl - i);
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            out[line.substr(0, eq)] = line.substr(eq + 1);
            i = nl + 1;
            continue;
        }
        uint64_t size = 0;
        for (int b = 0; b < 8 && nl + 1 + b < d.size(); ++b)
            size |= static_cast<uint64_t>(static_cast<unsigned char>(d[nl + 1 + b])) << (8 * b);
        out[line] = d.substr(nl + 9, size);
        i = nl + 9 + size + 1;
    }
    return out;
}

TEST(SystemLogTest, TextWithLineEndsReachesTheJournalWhole) {
    test::TempFolder dir;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir.path() + "journal";
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval wait{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setenv("QUORVEL_JOURNAL_SOCKET", path.c_str(), 1);

    const std::string utf8 = u8"サービス失敗 実行: line one\nline two";
    testing::internal::CaptureStderr();
    DefaultServiceEnvironment().Log->OpenEventSource("QuorvelService", false)->Report(kEventError, 0, 4294967295u,
                                                                                      test::Sjis(utf8));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no console echo in service mode";
    std::vector<char> buf(1 << 17);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    unsetenv("QUORVEL_JOURNAL_SOCKET");
    ::close(fd);
    ASSERT_GT(n, 0);
    auto f = Fields(std::string(buf.data(), static_cast<size_t>(n)));
    EXPECT_EQ(f["MESSAGE"], utf8);
    EXPECT_EQ(f["PRIORITY"], "3");
    EXPECT_EQ(f["QUORVEL_EVENT_ID"], "4294967295");
    EXPECT_EQ(f["QUORVEL_EVENT_CATEGORY"], "0");
}

}  // namespace
}  // namespace quorvel::platform
