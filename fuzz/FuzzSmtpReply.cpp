// The SMTP reply reader over a real loopback connection: the server side
// sends the input as its whole dialogue and closes; the client must neither
// fail nor hang, whatever the replies hold.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "mail/DMail.h"

namespace {

int Listener(uint16_t& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(s, 16) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        std::abort();
    }
    port = ntohs(sa.sin_port);
    return s;
}

void Serve(int listener, const uint8_t* data, size_t size) {
    const int peer = ::accept(listener, nullptr, nullptr);
    if (peer < 0) return;
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::send(peer, data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::shutdown(peer, SHUT_WR);
    char sink[4096];
    while (::recv(peer, sink, sizeof sink, 0) > 0) {
    }
    ::close(peer);
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
    static const int listener = Listener(port);
    // The first byte picks the authentication, so that the AUTH dialogues
    // and the CRAM-MD5 challenge are read too.
    const uint8_t mode = size > 0 ? data[0] % 3 : 0;
    std::thread server(Serve, listener, data, size);
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
        if (mode != 0) mail.SetStartCommandType(1);
        mail.Body() = {"", "192.168.0.5 said", "disk error"};
        (void)mail.SendMail();
    }
    server.join();
    return 0;
}
