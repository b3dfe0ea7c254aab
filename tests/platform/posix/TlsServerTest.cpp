// The OpenSSL server session, driven as the worker drives it (non-blocking,
// a step on each readiness), against a real OpenSSL client over loopback.
#include "platform/TlsServer.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "LoopbackListener.h"
#include "ScriptedServer.h"
#include "TestFiles.h"
#include "platform/TcpSocket.h"

namespace quorvel::platform {
namespace {

struct Outcome {
    TlsStep end = TlsStep::WantRead;
    std::string reason, received;
};

// One connection served to its end, reading until nothing is left.
Outcome Serve(int listener, const TlsServerContext& context) {
    Outcome out;
    const SocketHandle s = test::AcceptClient(listener);
    fcntl(s.Get(), F_SETFL, fcntl(s.Get(), F_GETFL) | O_NONBLOCK);
    auto session = TlsServerSession::Create(context, s.Get());
    for (bool established = false;;) {
        char buffer[1000];
        std::size_t got = 0;
        const TlsStep step = established ? session->Read(buffer, sizeof buffer, &got) : session->Handshake();
        out.received.append(buffer, got);
        if (step == TlsStep::Ok) {
            established = true;
            continue;
        }
        if (step == TlsStep::Closed || step == TlsStep::Failed) {
            out.end = step;
            out.reason = session->FailureReason();
            return out;
        }
        EXPECT_FALSE(session->Pending());
        pollfd p{s.Get(), static_cast<short>(step == TlsStep::WantWrite ? POLLOUT : POLLIN), 0};
        if (poll(&p, 1, 10000) != 1) return out;
    }
}

// A blocking client: the payload in one write (many records), then goodbye.
// Its own failures do not matter: with TLS 1.3 the client is done before the
// server has looked at its certificate. Name "-": a port probe that leaves.
void Client(uint16_t port, const std::string& certs, const std::string& name, int version, const std::string& payload) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx, (certs + "ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (version != 0) {
        SSL_CTX_set_min_proto_version(ctx, version);
        SSL_CTX_set_max_proto_version(ctx, version);
        SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");  // OpenSSL 3 offers TLS 1.1 only so
    }
    if (!name.empty()) {
        SSL_CTX_use_certificate_file(ctx, (certs + name + ".pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, (certs + name + ".key").c_str(), SSL_FILETYPE_PEM);
    }
    SocketHandle s;
    if (CreateTcpSocket(s) == 0 && ConnectTcpWithin(s.Get(), 0x7F000001, port, 5000) == 0 && name != "-") {
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, s.Get());
        if (SSL_connect(ssl) == 1) {
            SSL_write(ssl, payload.data(), static_cast<int>(payload.size()));
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
    }
    SSL_CTX_free(ctx);
    ERR_clear_error();
}

TEST(TlsServer, ClientCertificatesVersionsBytesAndFiles) {
    const test::TempFolder certs;
    const std::string dir = certs.path();
    ASSERT_EQ(std::system(("sh '" QUORVEL_SOURCE_DIR "/tests/platform/make-tls-certs.sh' '" + dir + "'").c_str()), 0);
    std::string error;
    const auto open = TlsServerContext::Create(dir + "server.pem", dir + "server.key", "", &error);
    const auto mutual = TlsServerContext::Create(dir + "server.pem", dir + "server.key", dir + "ca.pem", &error);
    ASSERT_TRUE(open && mutual) << error;
    std::string payload;
    while (payload.size() < 100000) payload += "<134>line " + std::to_string(payload.size()) + "\n";
    const struct {
        const TlsServerContext* context;
        const char* clientCert;
        int version;
        TlsStep end;
        const char* reason;
    } cases[] = {
        {open.get(), "", 0, TlsStep::Closed, ""},
        {mutual.get(), "client", 0, TlsStep::Closed, ""},
        {mutual.get(), "client", TLS1_2_VERSION, TlsStep::Closed, ""},
        {mutual.get(), "", 0, TlsStep::Failed, "no client certificate"},
        {mutual.get(), "stranger", 0, TlsStep::Failed, "certificate verify failed: unable to get local issuer certificate"},
        {open.get(), "", TLS1_1_VERSION, TlsStep::Failed, "unsupported protocol"},
        {open.get(), "-", 0, TlsStep::Failed, "connection closed during the handshake"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.clientCert) + " " + c.reason);
        uint16_t port = 0;
        const SocketHandle listener = test::ListenLoopback(port);
        std::thread client(Client, port, dir, c.clientCert, c.version, payload);
        const Outcome out = Serve(listener.Get(), *c.context);
        client.join();
        EXPECT_EQ(out.end, c.end);
        EXPECT_EQ(out.reason, c.reason);
        EXPECT_EQ(out.received == payload, c.end == TlsStep::Closed) << out.received.size();
    }

    // Start-up refusals name the file at fault.
    const struct {
        std::string cert, key, ca, named;
    } files[] = {
        {dir + "missing.pem", dir + "server.key", "", "missing.pem"},
        {dir + "server.pem", dir + "client.key", "", "does not belong"},
        {dir + "server.pem", dir + "server.key", dir + "missing-ca.pem", "missing-ca.pem"},
    };
    for (const auto& c : files) {
        EXPECT_FALSE(TlsServerContext::Create(c.cert, c.key, c.ca, &error));
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace quorvel::platform
