#include "net/DBaseSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "SjisReference.h"
#include "net/NetTexts.h"

namespace quorvel {
namespace {

using test::ScriptedPeer;
using test::ScriptedServer;

class TestSocket : public TDBaseSocket {
public:
    explicit TestSocket(int32_t port = 0) {
        SetLogList(&log);
        SetWriteLogDate(false);
        SetServerName("127.0.0.1");
        SetPort(port);
    }
    std::vector<std::string> log;
};

TEST(NetTexts, MatchCp932OfTheirJapaneseOriginals) {
    EXPECT_EQ(test::Sjis(u8"送信前に接続が破棄されました。"), texts::kClosedBeforeSend);
    EXPECT_EQ(test::Sjis(u8"接続が破棄されている可能性があります。"), texts::kMaybeClosed);
    EXPECT_EQ(test::Sjis(u8" コマンドに対する応答の送信中に例外が発生 : "), texts::kStreamSendException);
}

// Names resolve through a stand-in: a test asks no name service and needs
// no /etc/hosts entry.
int LoopbackOnlyResolver(const std::string& name, uint32_t& address) {
    if (name != "mail.test") return -2;  // EAI_NONAME, produced here
    address = 0x7F000001;
    return 0;
}

TEST(DBaseSocket, ConnectsByNameAndDisconnectReleasesTheSocket) {
    ScriptedServer server([](ScriptedPeer& p) { p.Drain(); });
    TestSocket s(server.Port());
    s.SetResolver(LoopbackOnlyResolver);
    s.SetServerName("mail.test");
    ASSERT_TRUE(s.Connect());
    EXPECT_TRUE(s.Connected());
    s.Disconnect();
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(s.SocketHandle(), -1);
}

TEST(DBaseSocket, FailedConnects) {
    TestSocket unknown;
    unknown.SetResolver(LoopbackOnlyResolver);
    unknown.SetServerName("no-such-host.test");
    EXPECT_FALSE(unknown.Connect());
    EXPECT_EQ(unknown.SocketHandle(), -1);
    EXPECT_EQ(unknown.log, std::vector<std::string>{"ResolveHost error"});

    int32_t closedPort;  // nothing listens there once the server object is gone
    {
        ScriptedServer probe([](ScriptedPeer&) {});
        closedPort = probe.Port();
    }
    int handle;
    {
        TestSocket s(closedPort);
        EXPECT_FALSE(s.Connect());
        EXPECT_FALSE(s.Connected());
        EXPECT_NE(s.WinsockError(), 0);
        handle = s.SocketHandle();
        ASSERT_NE(handle, -1);
        EXPECT_NE(fcntl(handle, F_GETFD), -1);
        EXPECT_EQ(s.log, std::vector<std::string>{"Connect to Host error"});
    }
    // The destructor released the descriptor of the failed connect.
    EXPECT_EQ(fcntl(handle, F_GETFD), -1);
}

TEST(DBaseSocket, ShortWritesAreCompletedSoAStreamArrivesWhole) {
    std::string received;
    ScriptedServer server([&](ScriptedPeer& p) {
        ScriptedPeer::Pause(500);  // let the client's small buffer fill first
        p.Drain();
    });
    TestSocket s(server.Port());
    ASSERT_TRUE(s.Connect());
    // A non-blocking socket with a small send buffer accepts only part of
    // each write: exactly the case in which bytes used to go missing.
    int small = 4096;
    setsockopt(s.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(s.SocketHandle(), F_SETFL, fcntl(s.SocketHandle(), F_GETFL) | O_NONBLOCK);
    std::string stream;
    for (int i = 0; stream.size() < 1024 * 1024; ++i) stream += "line " + std::to_string(i) + "\r\n";
    EXPECT_TRUE(s.SendStream(stream));
    s.SendText("END", true);
    s.Disconnect();
    server.Join();
    EXPECT_TRUE(server.Received() == stream + "END\r\n");
}

TEST(DBaseSocket, WritingToAResetPeerNeitherKillsNorHangs) {
    ScriptedServer server([](ScriptedPeer& p) { p.Reset(); });
    TestSocket s(server.Port());
    ASSERT_TRUE(s.Connect());
    server.Join();
    // Without MSG_NOSIGNAL the second write would raise SIGPIPE and end
    // this test program.
    for (int i = 0; i < 3; ++i) s.SendText("RSET", true);
    EXPECT_FALSE(s.SendStream(std::string(5000, 'x')));
    std::string log;
    for (const auto& line : s.log) log += line + "\n";
    EXPECT_NE(log.find(texts::kMaybeClosed), std::string::npos) << log;
    EXPECT_NE(log.find("Sendstream client error : "), std::string::npos) << log;
}

}  // namespace
}  // namespace quorvel
