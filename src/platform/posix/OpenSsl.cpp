#include "platform/posix/OpenSsl.h"

#include <errno.h>
#include <openssl/err.h>

#include "platform/TcpSocket.h"

namespace quorvel::platform {

namespace {

// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE on a
// peer that reset the connection and would end the whole server. This one
// sends with MSG_NOSIGNAL and otherwise behaves the same.
int BioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const long n =
        SendSome(static_cast<int>(BIO_get_fd(bio, nullptr)), data, static_cast<std::size_t>(size));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int BioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    const long n = RecvSome(static_cast<int>(BIO_get_fd(bio, nullptr)), buffer,
                            static_cast<std::size_t>(size));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

}  // namespace

BIO_METHOD* NoSignalSocketMethod() {
    // Built once; the socket BIO's control calls (fd, close flag) are reused.
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(
            BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "quorvel socket");
        if (m == nullptr) return m;
        const BIO_METHOD* base = BIO_s_socket();
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base));
        BIO_meth_set_create(m, BIO_meth_get_create(base));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(base));
        return m;
    }();
    return method;
}

std::string OpenSslErrors() {
    std::string text;
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        char line[256];
        ERR_error_string_n(e, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text;
}

}  // namespace quorvel::platform
