// The SMTP reply reader over a real loopback connection: the server side
// sends the input as its whole dialogue and closes; the client must neither
// fail nor hang, whatever the replies hold.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "mail/DMail.h"
#include "platform/TcpSocket.h"

namespace {

using quorvel::platform::SocketHandle;

SocketHandle Listener(uint16_t& port) {
    SocketHandle s;
    if (quorvel::platform::CreateTcpSocket(s) != 0 || quorvel::platform::BindIPv4(s.Get(), 0x7F000001, 0) != 0 ||
        ::listen(s.Get(), 16) != 0) {
        std::abort();
    }
    port = quorvel::platform::BoundPort(s.Get());
    return s;
}

void Serve(int listener, const uint8_t* data, size_t size) {
    const SocketHandle peer(::accept(listener, nullptr, nullptr));
    if (!peer.Valid()) return;
    for (size_t done = 0; done < size;) {
        const long n = quorvel::platform::SendSome(peer.Get(), reinterpret_cast<const char*>(data) + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::shutdown(peer.Get(), SHUT_WR);
    char sink[4096];
    while (quorvel::platform::RecvSome(peer.Get(), sink, sizeof sink) > 0) {
    }
}

}  // namespace

// The greeting names this host as the environment says, without asking the
// name service for every input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("QUORVEL_HOSTNAME", "quorvel.test", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static uint16_t port = 0;
    static const SocketHandle listener = Listener(port);
    // The first byte picks the authentication, so that the AUTH dialogues
    // and the CRAM-MD5 challenge are read too.
    const uint8_t mode = size > 0 ? data[0] % 3 : 0;
    std::thread server(Serve, listener.Get(), data, size);
    {
        quorvel::TSMTPMail mail;
        mail.SetServerName("127.0.0.1");
        mail.SetPort(port);
        mail.SetFromAddress("alert@quorvel.example");
        mail.SetToAddress("ops@example.com");
        mail.SetTimeoutVal(1);
        mail.SetTimeoutCount(0);
        mail.SetSMTPAuthType(mode == 1 ? quorvel::SA_LOGIN : mode == 2 ? quorvel::SA_CRAMMD5 : quorvel::SA_NONE);
        mail.SetSMTPAuthAccount("user");
        mail.SetSMTPAuthPassword("secret");
        if (mode != 0) mail.SetStartCommandType(quorvel::SC_EHLO);
        mail.Body() = {"", "192.168.0.5 said", "disk error"};
        (void)mail.SendMail();
    }
    server.join();
    return 0;
}
