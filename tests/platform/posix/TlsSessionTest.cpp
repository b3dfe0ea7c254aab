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

// A private authority and one server certificate for 127.0.0.1 and
// mail.quorvel.test, made once with the openssl command.
class Certificates {
public:
    Certificates() {
        const std::string d = folder_.path();
        const std::string script =
            "cd '" + d +
            "' && "
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "
            "'/CN=Test CA' "
            "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign && "
            "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "
            "'/CN=server' && "
            "printf 'subjectAltName=IP:127.0.0.1,DNS:mail.quorvel.test\\n' > server.ext && "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out "
            "server.pem -days 2 "
            "-extfile server.ext";
        ok_ = std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
    }
    bool ok() const { return ok_; }
    std::string Path(const char* name) const { return folder_.path() + name; }

private:
    test::TempFolder folder_;
    bool ok_ = false;
};

const Certificates& Certs() {
    static Certificates certs;
    return certs;
}

// One TLS connection served on a loopback port: the handshake, then the
// greeting, then silence until the client goes.
class TlsServer {
public:
    TlsServer() : listener_(test::ListenLoopback(port_)) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~TlsServer() {
        if (thread_.joinable()) thread_.join();
    }
    uint16_t Port() const { return port_; }

private:
    void Serve() {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx, Certs().Path("server.pem").c_str());
        SSL_CTX_use_PrivateKey_file(ctx, Certs().Path("server.key").c_str(), SSL_FILETYPE_PEM);
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

    uint16_t port_ = 0;
    SocketHandle listener_;
    std::thread thread_;
};

SocketHandle ConnectedSocket(uint16_t port) {
    SocketHandle s;
    if (CreateTcpSocket(s) != 0 || ConnectTcpWithin(s.Get(), 0x7F000001, port, 2000) != 0) return {};
    return s;
}

TEST(TlsSession, ServerNameIsCheckedForNamesAndAddresses) {
    ASSERT_TRUE(Certs().ok()) << "the openssl command could not make the certificates";
    const struct {
        const char* name;
        bool verify;
        int result;
    } cases[] = {
        {"mail.quorvel.test", true, kTlsOk},   {"MAIL.Quorvel.Test", true, kTlsOk},
        {"127.0.0.1", true, kTlsOk},           {"other.quorvel.test", true, kTlsUntrusted},
        {"quorvel.test", true, kTlsUntrusted}, {"127.0.0.2", true, kTlsUntrusted},
        {"other.quorvel.test", false, kTlsOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsServer server;
        const SocketHandle s = ConnectedSocket(server.Port());
        ASSERT_TRUE(s.Valid());
        TlsSession session;
        TlsOptions options;
        options.HostName = c.name;
        options.Verify = c.verify;
        options.CaFile = Certs().Path("ca.pem");
        EXPECT_EQ(session.Handshake(s.Get(), options, 5000), c.result) << session.ErrorText();
        if (c.result == kTlsOk) {
            char greeting[64];
            const long n = session.Read(greeting, sizeof greeting, 5000);
            EXPECT_EQ(std::string(greeting, n > 0 ? static_cast<size_t>(n) : 0), "220 ready\r\n");
        }
        session.Close();
    }
}

// A stop from another thread: the socket shut down (wakes the wait at once)
// or the cancel flag set (seen within a second's slice).
TEST(TlsSession, StopFromAnotherThreadEndsAWaitingRead) {
    ASSERT_TRUE(Certs().ok());
    for (const bool byFlag : {false, true}) {
        SCOPED_TRACE(byFlag ? "cancel flag" : "shutdown");
        TlsServer server;
        const SocketHandle s = ConnectedSocket(server.Port());
        ASSERT_TRUE(s.Valid());
        std::atomic<bool> cancel{false};
        TlsSession session;
        session.SetCancelFlag(&cancel);
        TlsOptions options;
        options.HostName = "127.0.0.1";
        options.CaFile = Certs().Path("ca.pem");
        ASSERT_EQ(session.Handshake(s.Get(), options, 5000), kTlsOk) << session.ErrorText();
        char buffer[64];
        ASSERT_GT(session.Read(buffer, sizeof buffer, 5000), 0);

        std::thread stopper([&s, byFlag, &cancel] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (byFlag) {
                cancel = true;
            } else {
                ShutdownTcpSocket(s.Get());
            }
        });
        const auto start = std::chrono::steady_clock::now();
        const long n = session.Read(buffer, sizeof buffer, 20000);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        stopper.join();
        EXPECT_EQ(n, -kTlsClosed) << session.ErrorText();
        EXPECT_LT(seconds, byFlag ? 1.5 : 0.6);
        if (!byFlag) {
            // Closed or failed, by the timing of the peer's reset; never a success.
            EXPECT_NE(session.Write("QUIT\r\n", 6, 1000), kTlsOk);
        }
        session.Close();
        ShutdownTcpSocket(s.Get());
    }
}

}  // namespace
}  // namespace quorvel::platform
