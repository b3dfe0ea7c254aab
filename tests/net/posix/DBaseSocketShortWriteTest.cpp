#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "ScriptedServer.h"
#include "net/DBaseSocket.h"

namespace quorvel {

// A non-blocking socket with a small send buffer accepts only part of each
// write: exactly the case in which bytes used to go missing.
TEST(DBaseSocket, ShortWritesAreCompletedSoAStreamArrivesWhole) {
    test::ScriptedServer server([](test::ScriptedPeer& p) { test::Pause(500), p.Drain(); });
    TDBaseSocket s;
    s.SetServerName("127.0.0.1");
    s.SetPort(server.Port());
    ASSERT_TRUE(s.Connect());
    int small = 4096;
    setsockopt(s.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(s.SocketHandle(), F_SETFL, fcntl(s.SocketHandle(), F_GETFL) | O_NONBLOCK);
    std::string stream;
    for (int i = 0; stream.size() < 1024 * 1024; ++i) stream += "line " + std::to_string(i) + "\r\n";
    EXPECT_TRUE(s.SendStream(stream));
    s.Disconnect();
    server.Join();
    EXPECT_TRUE(server.Received() == stream);
}

}  // namespace quorvel
