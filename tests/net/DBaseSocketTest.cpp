#include "net/DBaseSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "net/NetTexts.h"

namespace quorvel {
namespace {

TEST(DBaseSocket, WritingToAResetPeerFailsWithTheSystemsErrorAndNeitherKillsNorHangs) {
    test::ScriptedServer server([](test::ScriptedPeer& p) { p.Reset(); });
    std::vector<std::string> log;
    TDBaseSocket s;
    s.SetLogList(&log);
    s.SetServerName("127.0.0.1");
    s.SetPort(server.Port());
    ASSERT_TRUE(s.Connect());
    server.Join();
    // Without MSG_NOSIGNAL the second write would raise SIGPIPE and end
    // this test program.
    for (int i = 0; i < 3; ++i) s.SendText("RSET", true);
    EXPECT_FALSE(s.SendStream(std::string(5000, 'x')));
    EXPECT_NE(std::find(log.begin(), log.end(), texts::kMaybeClosed), log.end());
    const std::string prefix = "Sendstream client error : ";
    ASSERT_EQ(log.back().rfind(prefix, 0), 0u) << log.back();
    EXPECT_NE(log.back(), prefix + "0") << "the trace must name the failed send's error";
}

}  // namespace
}  // namespace quorvel
