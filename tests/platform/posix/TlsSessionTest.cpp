// The OpenSSL session against an OpenSSL server in the same process: the
// host-name check for names and addresses (the end-to-end scenarios can only
// use 127.0.0.1, as no test may rely on a name service), and a shut-down
// socket ending a TLS read at once, as a stop from another thread does.
#include "platform/TlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ScriptedServer.h"
#include "TestFiles.h"
#include "platform/TcpSocket.h"

namespace quorvel::platform {
namespace {

// One TLS connection served on a loopback port: the handshake, then the
// greeting, then silence until the client goes.
class TlsServer {
public:
    explicit TlsServer(std::string certs) : certs_(std::move(certs)), listener_(test::ListenLoopback(port_)) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~TlsServer() { thread_.join(); }
    uint16_t Port() const { return port_; }

private:
    void Serve() {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, (certs_ + "server.pem").c_str());
        SSL_CTX_use_PrivateKey_file(ctx, (certs_ + "server.key").c_str(), SSL_FILETYPE_PEM);
        if (WaitReadable(listener_.Get(), 10) == kWaitReady) {
            const SocketHandle client = test::AcceptClient(listener_.Get());
            SSL* ssl = SSL_new(ctx);
            SSL_set_fd(ssl, client.Get());
            if (SSL_accept(ssl) == 1) {
                SSL_write(ssl, "220 ready\r\n", 11);
                char sink[256];
                while (SSL_read(ssl, sink, sizeof sink) > 0) {
                }
            }
            SSL_free(ssl);
        }
        SSL_CTX_free(ctx);
        ERR_clear_error();
    }

    std::string certs_;
    uint16_t port_ = 0;
    SocketHandle listener_;
    std::thread thread_;
};

// The host-name check for names and addresses, and a stop from another
// thread ending a waiting read: the socket shut down (wakes the wait at
// once) or the cancel flag set (seen within a second's slice), either long
// before the read's own minute is up, however loaded the machine.
TEST(TlsSession, ServerNameIsCheckedAndAStopEndsAWaitingRead) {
    const test::TempFolder certs;
    // The server's certificate is for 127.0.0.1 and mail.quorvel.test.
    ASSERT_EQ(std::system(("sh '" QUORVEL_SOURCE_DIR "/tests/platform/make-tls-certs.sh' '" + certs.path() + "'").c_str()), 0);
    enum Stop { kNone, kShutdown, kFlag };
    const struct {
        const char* name;
        bool verify;
        int result;
        Stop stop;
    } cases[] = {
        {"mail.quorvel.test", true, kTlsOk, kShutdown}, {"MAIL.Quorvel.Test", true, kTlsOk, kNone},
        {"127.0.0.1", true, kTlsOk, kFlag},             {"other.quorvel.test", true, kTlsUntrusted, kNone},
        {"quorvel.test", true, kTlsUntrusted, kNone},  {"127.0.0.2", true, kTlsUntrusted, kNone},
        {"other.quorvel.test", false, kTlsOk, kNone},   {"", true, kTlsFailed, kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsServer server(certs.path());
        SocketHandle s;
        ASSERT_EQ(CreateTcpSocket(s), 0);
        ASSERT_EQ(ConnectTcpWithin(s.Get(), 0x7F000001, server.Port(), 2000), 0);
        std::atomic<bool> cancel{false};
        TlsSession session;
        session.SetCancelFlag(&cancel);
        TlsOptions options;
        options.HostName = c.name, options.Verify = c.verify, options.CaFile = certs.path() + "ca.pem";
        EXPECT_EQ(session.Handshake(s.Get(), options, 5000), c.result) << session.ErrorText();
        char buffer[64];
        // Without a session nothing is read or written.
        const long n = session.Read(buffer, sizeof buffer, 5000);
        EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), c.result == kTlsOk ? "220 ready\r\n" : "");
        if (c.result != kTlsOk) { EXPECT_EQ(session.Write("QUIT\r\n", 6, 1000), kTlsFailed); }
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            c.stop == kFlag ? void(cancel = true) : void(ShutdownTcpSocket(s.Get()));
        });
        const auto start = std::chrono::steady_clock::now();
        if (c.stop != kNone) { EXPECT_EQ(session.Read(buffer, sizeof buffer, 60000), -kTlsClosed) << session.ErrorText(); }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        stopper.join();
        // Closed or failed, by the timing of the peer's reset; never a success.
        if (c.stop == kShutdown) { EXPECT_NE(session.Write("QUIT\r\n", 6, 1000), kTlsOk); }
        session.Close();
    }
}

}  // namespace
}  // namespace quorvel::platform
