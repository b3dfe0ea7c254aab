// Event entries through systemd's native journal protocol, read back from a
// Unix datagram socket that stands in for the journal.
#include "platform/SystemLog.h"

#include <poll.h>
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

namespace quorvel::platform {
namespace {

class JournalSink {
public:
    JournalSink() {
        char dir[] = "/tmp/quorvel-sink-XXXXXX";
        dir_ = mkdtemp(dir) ? dir : "";
        path_ = dir_ + "/sock";
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        setenv("QUORVEL_JOURNAL_SOCKET", path_.c_str(), 1);
    }
    ~JournalSink() {
        unsetenv("QUORVEL_JOURNAL_SOCKET");
        ::close(fd_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    bool Bound() const { return bound_; }

    bool Receive(std::string& datagram) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) return false;
        std::vector<char> buf(1 << 17);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return false;
        datagram.assign(buf.data(), static_cast<size_t>(n));
        return true;
    }

private:
    std::string dir_, path_;
    int fd_ = -1;
    bool bound_ = false;
};

// Parses systemd's native journal datagram, both field forms.
std::map<std::string, std::string> Fields(const std::string& d) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < d.size()) {
        size_t nl = d.find('\n', i);
        if (nl == std::string::npos) break;
        std::string line = d.substr(i, nl - i);
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            out[line.substr(0, eq)] = line.substr(eq + 1);
            i = nl + 1;
            continue;
        }
        uint64_t size = 0;
        for (int b = 0; b < 8; ++b) size |= static_cast<uint64_t>(static_cast<unsigned char>(d[nl + 1 + b])) << (8 * b);
        out[line] = d.substr(nl + 9, size);
        i = nl + 9 + size + 1;
    }
    return out;
}

TEST(SystemLogTest, EntriesReachTheJournalAsUtf8WithTheirOwnFields) {
    JournalSink sink;
    ASSERT_TRUE(sink.Bound());
    auto source = DefaultServiceEnvironment().Log->OpenEventSource("QuorvelService", false);
    struct Case {
        int type;
        uint32_t id;
        std::string utf8;
        const char* priority;
    } cases[] = {
        {kEventSuccess, 1, u8"Quorvel Server が開始しました", "6"},
        // A line end inside the text needs the journal's binary field form.
        {kEventError, 4294967295u, u8"サービス失敗 実行: line one\nline two", "3"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        source->Report(c.type, 0, c.id, test::Sjis(c.utf8));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no console echo in service mode";
        std::string d;
        ASSERT_TRUE(sink.Receive(d));
        auto f = Fields(d);
        EXPECT_EQ(f["MESSAGE"], c.utf8);
        EXPECT_EQ(f["PRIORITY"], c.priority);
        EXPECT_EQ(f["SYSLOG_IDENTIFIER"], "QuorvelService");
        EXPECT_EQ(f["QUORVEL_EVENT_ID"], std::to_string(c.id));
        EXPECT_EQ(f["QUORVEL_EVENT_CATEGORY"], "0");
    }
}

}  // namespace
}  // namespace quorvel::platform
