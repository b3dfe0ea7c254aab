// The Schannel server session driven as the worker drives it, against the
// Schannel client of the mail path in the same process: PEM files into
// CryptoAPI, the handshake, bytes through, and a required client
// certificate that is missing.
#include "platform/TlsServer.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "LoopbackListener.h"
#include "ScriptedServer.h"
#include "platform/TcpSocket.h"
#include "platform/TlsSession.h"

namespace quorvel::platform {
namespace {

const std::string kCerts = QUORVEL_TLS_CERTS;  // tests/platform/make-tls-certs.sh, RSA

struct Outcome {
    TlsStep end = TlsStep::Failed;
    std::string reason;
    std::string received;
};

Outcome Serve(int listener, const TlsServerContext& context) {
    Outcome out;
    const SocketHandle s = test::AcceptClient(listener);
    u_long nonBlocking = 1;
    ioctlsocket(test::Raw(s.Get()), FIONBIO, &nonBlocking);
    auto session = TlsServerSession::Create(context, s.Get());
    bool established = false;
    for (int rounds = 0; rounds < 100000; ++rounds) {
        TlsStep step;
        if (!established) {
            step = session->Handshake();
            if (step == TlsStep::Ok) {
                established = true;
                continue;
            }
        } else {
            char buffer[1000];
            std::size_t got = 0;
            step = session->Read(buffer, sizeof buffer, &got);
            if (step == TlsStep::Ok) {
                out.received.append(buffer, got);
                continue;
            }
        }
        if (step == TlsStep::Closed || step == TlsStep::Failed) {
            out.end = step;
            out.reason = session->FailureReason();
            return out;
        }
        EXPECT_FALSE(session->Pending());
        if ((step == TlsStep::WantWrite ? WaitWritable(s.Get(), 10) : WaitReadable(s.Get(), 10)) != kWaitReady)
            break;
    }
    out.reason = "no end";
    return out;
}

void Client(uint16_t port, const std::string& payload) {
    SocketHandle s;
    if (CreateTcpSocket(s) != 0 || ConnectTcpWithin(s.Get(), 0x7F000001, port, 5000) != 0) return;
    TlsSession session;
    TlsOptions options;
    options.HostName = "127.0.0.1";
    options.CaFile = kCerts + "ca.pem";
    if (session.Handshake(s.Get(), options, 10000) == kTlsOk) session.Write(payload.data(), payload.size(), 10000);
    session.Close();
}

TEST(TlsServer, SchannelServesPemFilesAndRequiresClientCertificates) {
    std::string error;
    const auto open = TlsServerContext::Create(kCerts + "server.pem", kCerts + "server.key", "", &error);
    ASSERT_TRUE(open) << error;
    // The key in the older PKCS #1 form works as well.
    EXPECT_TRUE(TlsServerContext::Create(kCerts + "server.pem", kCerts + "server-pkcs1.key", "", &error)) << error;
    const auto mutual = TlsServerContext::Create(kCerts + "server.pem", kCerts + "server.key", kCerts + "ca.pem", &error);
    ASSERT_TRUE(mutual) << error;
    // Start-up refusals name the file at fault.
    const struct {
        std::string cert, key, named;
    } files[] = {
        {kCerts + "missing.pem", kCerts + "server.key", "missing.pem"},
        {kCerts + "server.pem", kCerts + "client.key", "does not belong"},
        {kCerts + "server.pem", kCerts + "ec.key", "must be an RSA key"},
        {kCerts + "server.pem", kCerts + "server.pem", "no unencrypted RSA key"},
    };
    for (const auto& c : files) {
        EXPECT_FALSE(TlsServerContext::Create(c.cert, c.key, "", &error));
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }

    std::string payload;
    while (payload.size() < 100000) payload += "<134>line " + std::to_string(payload.size()) + "\n";
    const struct {
        const char* what;
        const TlsServerContext* context;
        TlsStep end;
        const char* reason;
    } cases[] = {
        {"no certificate asked", open.get(), TlsStep::Closed, ""},
        {"no client certificate", mutual.get(), TlsStep::Failed, "no client certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        uint16_t port = 0;
        const SocketHandle listener = test::ListenLoopback(port);
        std::thread client(Client, port, payload);
        const Outcome out = Serve(listener.Get(), *c.context);
        client.join();
        // Wine's Schannel has no server side: AcceptSecurityContext is not
        // there (SEC_E_UNSUPPORTED_FUNCTION). Loading the files is proven
        // above; the handshake only on Windows itself.
        if (out.reason.rfind("handshake failed 0x80090302", 0) == 0 && c.end == TlsStep::Closed)
            GTEST_SKIP() << "no Schannel server side on this system: " << out.reason;
        EXPECT_EQ(out.end, c.end) << out.reason;
        EXPECT_EQ(out.reason.substr(0, std::string(c.reason).size()), c.reason);
        EXPECT_EQ(out.received == payload, c.end == TlsStep::Closed) << out.received.size();
    }
}

}  // namespace
}  // namespace quorvel::platform
