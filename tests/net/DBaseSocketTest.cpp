#include "net/DBaseSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "net/NetTexts.h"

namespace quorvel {
namespace {

using test::ScriptedPeer;
using test::ScriptedServer;

struct TestSocket : TDBaseSocket {
    explicit TestSocket(uint16_t port, const std::string& server = "127.0.0.1") {
        SetLogList(&log);
        SetWriteLogDate(false);
        SetServerName(server);
        SetPort(port);
    }
    std::vector<std::string> log;
};

// "127.1" is no strict literal, so it goes through the system's resolver,
// which reads the short numeric form without asking any name service; an
// empty name or one with a NUL inside never reaches it.
TEST(DBaseSocket, ResolvesConnectsReceivesAndReleasesTheSocket) {
    ScriptedServer server([](ScriptedPeer& p) { p.Send("220 hi"), p.Drain(); });
    TestSocket s(server.Port(), "127.1");
    s.SetDebugLevel(3);
    ASSERT_TRUE(s.Connect());
    char buffer[16];
    EXPECT_EQ(s.ReceiveSome(buffer, sizeof buffer, 5), 6);
    EXPECT_EQ(s.ReceiveSome(buffer, sizeof buffer, 0), TDBaseSocket::kReceiveSilent);
    s.Disconnect();
    EXPECT_EQ(s.SocketHandle(), platform::kNoSocket);
    EXPECT_EQ(s.ReceiveSome(buffer, sizeof buffer, 0), TDBaseSocket::kReceiveFailed);
    EXPECT_EQ(s.log, (std::vector<std::string>{"ResolveHost : 127.0.0.1", "Socket Close."}));
    for (const std::string& name : {std::string(), std::string("127.0.0.1\0.evil", 15)}) {
        TestSocket unresolved(server.Port(), name);
        EXPECT_FALSE(unresolved.Connect());
        EXPECT_EQ(unresolved.log, std::vector<std::string>{"ResolveHost error"});
    }
}

TEST(DBaseSocket, WritingToAResetPeerFailsWithTheSystemsErrorAndNeitherKillsNorHangs) {
    ScriptedServer server([](ScriptedPeer& p) { p.Reset(); });
    TestSocket s(server.Port());
    ASSERT_TRUE(s.Connect());
    server.Join();
    // Without MSG_NOSIGNAL the second write would raise SIGPIPE and end
    // this test program.
    for (int i = 0; i < 3; ++i) s.SendText("RSET", true);
    EXPECT_FALSE(s.SendStream(std::string(5000, 'x')));
    EXPECT_NE(std::find(s.log.begin(), s.log.end(), nettext::kMaybeClosed), s.log.end());
    const std::string prefix = "Sendstream client error : ";
    ASSERT_EQ(s.log.back().rfind(prefix, 0), 0u) << s.log.back();
    EXPECT_NE(s.log.back(), prefix + "0") << "the trace must name the failed send's error";
}

}  // namespace
}  // namespace quorvel
