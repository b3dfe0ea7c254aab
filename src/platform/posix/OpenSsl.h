#pragma once
// What the OpenSSL client (alert mail) and server (syslog over TLS) sessions
// share.

#include <openssl/bio.h>

#include <string>

namespace quorvel::platform {

// A socket BIO that never raises SIGPIPE; null when OpenSSL is out of memory.
BIO_METHOD* NoSignalSocketMethod();

// The thread's queued OpenSSL errors as one line, emptying the queue.
std::string OpenSslErrors();

}  // namespace quorvel::platform
