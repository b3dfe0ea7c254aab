// quorvel-loadgen: a paced UDP or TCP load generator for the benchmark.
//
// Sends syslog datagrams to a loopback address, each with a unique sequence
// number ("seq=0000000042") so that a counter can tell afterwards which ones
// reached the log. Datagrams leave in batches through sendmmsg, paced against
// the monotonic clock: the generator sends what is due, then sleeps until the
// next datagram is due, so a short stall of the sender is caught up at once
// and the average rate stays exact.
//
//   quorvel-loadgen --port P [--host 127.0.0.1] [--rate N] [--duration S]
//                   [--count N] [--size 120] [--first-seq N] [--first-text T]
//                   [--tcp CONNECTIONS [--tls CAFILE [--cert PEM --key PEM]]]
//
// --tcp N sends over N TCP connections instead, octet-counted (RFC 6587
// 3.4.1, "LEN SP MSG"): message i goes to connection i mod N, so the numbers
// rise on every connection. A server that holds back (a full window) holds
// the generator back too; the connections close cleanly at the end.
// --tls adds TLS (OpenSSL) on those connections: the server's certificate
// must chain to CAFILE and name 127.0.0.1; --cert and --key present a client
// certificate.
//
// --rate 0 (the default) sends as fast as the socket takes them; then --count
// is needed. With a rate, --duration S means rate x S datagrams. --first-text
// puts a text (an alert keyword) into the first datagram only. At the end one
// line goes to standard output: sent=N seconds=S rate=R retries=N.
//
// Linux only (sendmmsg), and loopback only: a benchmark sends nothing beyond
// this machine.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include "platform/SocketHandle.h"

namespace {

constexpr unsigned kBatch = 64;
constexpr unsigned kStreamBatch = 1024;
constexpr size_t kSeqDigits = 10;

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    double rate = 0;
    double duration = 0;
    uint64_t count = 0;
    size_t size = 120;
    uint64_t firstSeq = 0;
    std::string firstText;
    int connections = 0;  // 0: UDP
    std::string tlsCa, tlsCert, tlsKey;
};

[[noreturn]] void Usage(const char* why) {
    std::fprintf(stderr,
                 "quorvel-loadgen: %s\n"
                 "usage: quorvel-loadgen --port P [--host 127.0.0.1|::1] [--rate MSGS_PER_S (0: as fast as possible)]\n"
                 "                       [--duration S] [--count N] [--size BYTES] [--first-seq N] [--first-text T]\n"
                 "                       [--tcp CONNECTIONS [--tls CAFILE [--cert PEM --key PEM]]]\n",
                 why);
    std::exit(2);
}

double Number(const char* name, const char* text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0)) Usage((std::string("bad number for ") + name).c_str());
    return value;
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--host") o.host = value;
        else if (arg == "--port") o.port = static_cast<int>(Number("--port", value));
        else if (arg == "--rate") o.rate = Number("--rate", value);
        else if (arg == "--duration") o.duration = Number("--duration", value);
        else if (arg == "--count") o.count = static_cast<uint64_t>(Number("--count", value));
        else if (arg == "--size") o.size = static_cast<size_t>(Number("--size", value));
        else if (arg == "--first-seq") o.firstSeq = static_cast<uint64_t>(Number("--first-seq", value));
        else if (arg == "--first-text") o.firstText = value;
        else if (arg == "--tcp") o.connections = static_cast<int>(Number("--tcp", value));
        else if (arg == "--tls") o.tlsCa = value;
        else if (arg == "--cert") o.tlsCert = value;
        else if (arg == "--key") o.tlsKey = value;
        else Usage(("unknown option " + arg).c_str());
    }
    if (o.port < 1 || o.port > 65535) Usage("--port is needed (1-65535)");
    if (o.connections > 1000) Usage("--tcp takes 1 to 1000 connections");
    if (o.rate > 0 && o.duration > 0) {
        const auto due = static_cast<uint64_t>(std::llround(o.rate * o.duration));
        o.count = o.count == 0 ? due : std::min(o.count, due);
    }
    if (o.count == 0) Usage("say how many: --count, or --rate with --duration");
    return o;
}

// Only literal loopback addresses: no name service, and no way to aim the
// load at another host by mistake.
bool LoopbackAddress(const std::string& host, sockaddr_storage& to, socklen_t& length, int port) {
    std::memset(&to, 0, sizeof to);
    const std::string literal = host == "localhost" ? "127.0.0.1" : host;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
    if (inet_pton(AF_INET, literal.c_str(), &v4->sin_addr) == 1) {
        if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) return false;
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
    if (inet_pton(AF_INET6, literal.c_str(), &v6->sin6_addr) == 1) {
        if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return false;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void SleepUntil(double when) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(when);
    t.tv_nsec = static_cast<long>((when - static_cast<double>(t.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// One datagram: a syslog header, the sequence number at a fixed place so
// that it can be rewritten in place, and filler up to the size asked for.
class Datagram {
public:
    Datagram(size_t size, const std::string& extra) {
        const std::string head = "<134>Dec  7 02:06:02 benchhost quorvel-loadgen: seq=";
        Text = head + std::string(kSeqDigits, '0') + " " + (extra.empty() ? "" : extra + " ") + "payload ";
        if (Text.size() > size) Usage(("--size must be at least " + std::to_string(Text.size())).c_str());
        SeqAt = head.size();
        for (size_t i = Text.size(); i < size; ++i) Text += static_cast<char>('a' + i % 26);
    }
    void SetSeq(uint64_t seq) {
        for (size_t i = kSeqDigits; i-- > 0; seq /= 10) Text[SeqAt + i] = static_cast<char>('0' + seq % 10);
    }
    std::string Text;

private:
    size_t SeqAt = 0;
};

// Every byte of the buffer, waiting while the server's window is full.
bool SendAll(int fd, SSL* tls, const std::string& bytes) {
    if (tls != nullptr) {
        size_t written = 0;
        if (!bytes.empty() && SSL_write_ex(tls, bytes.data(), bytes.size(), &written) != 1) {
            std::fprintf(stderr, "quorvel-loadgen: TLS write failed\n");
            return false;
        }
        return true;
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("quorvel-loadgen: send");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

struct TlsContextFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct TlsFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

// Null (with a message) when the files cannot be used.
std::unique_ptr<SSL_CTX, TlsContextFree> ClientContext(const Options& o) {
    std::unique_ptr<SSL_CTX, TlsContextFree> ctx(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // Partial writes would leave a frame half sent on a full window; with
    // blocking sockets a write returns once all of it is out.
    SSL_CTX_clear_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
    if (SSL_CTX_load_verify_locations(ctx.get(), o.tlsCa.c_str(), nullptr) != 1 ||
        (!o.tlsCert.empty() &&
         (SSL_CTX_use_certificate_chain_file(ctx.get(), o.tlsCert.c_str()) != 1 ||
          SSL_CTX_use_PrivateKey_file(ctx.get(), o.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1))) {
        ERR_print_errors_fp(stderr);
        return nullptr;
    }
    X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(ctx.get()), "127.0.0.1");
    return ctx;
}

// How many of the messages may have gone by now: at a rate, one more than
// the time allows; when none is due, after a sleep until the next is.
uint64_t Due(const Options& o, double start, uint64_t sent) {
    if (o.rate <= 0) return o.count;
    const uint64_t due = std::min(o.count, static_cast<uint64_t>((Now() - start) * o.rate) + 1);
    if (due <= sent) SleepUntil(start + static_cast<double>(sent) / o.rate);
    return due;
}

int RunTcp(const Options& o, const sockaddr_storage& to, socklen_t toLength) {
    std::vector<quorvel::platform::SocketHandle> sockets;
    std::unique_ptr<SSL_CTX, TlsContextFree> tlsContext;
    std::vector<std::unique_ptr<SSL, TlsFree>> tls;
    if (!o.tlsCa.empty() && !(tlsContext = ClientContext(o))) return 1;
    for (int c = 0; c < o.connections; ++c) {
        const int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            std::perror("quorvel-loadgen: socket");
            return 1;
        }
        sockets.emplace_back(fd);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&to), toLength) != 0) {
            std::perror("quorvel-loadgen: connect");
            return 1;
        }
        if (tlsContext) {
            tls.emplace_back(SSL_new(tlsContext.get()));
            SSL_set_fd(tls.back().get(), fd);
            if (SSL_connect(tls.back().get()) != 1) {
                std::fprintf(stderr, "quorvel-loadgen: TLS handshake failed\n");
                ERR_print_errors_fp(stderr);
                return 1;
            }
        }
    }
    const auto n = static_cast<uint64_t>(o.connections);
    Datagram message(o.size, "");
    Datagram first(o.size, o.firstText);
    std::vector<std::string> pending(sockets.size());
    uint64_t sent = 0;
    const double start = Now();
    while (sent < o.count) {
        uint64_t due = Due(o, start, sent);
        if (due <= sent) continue;
        // Many frames per connection per round, so that each send call
        // carries about 128 KiB: smaller writes make the loopback's wake-ups,
        // not the server, the limit.
        due = std::min(due, sent + kStreamBatch * n);
        for (; sent < due; ++sent) {
            Datagram& d = (sent == 0 && !o.firstText.empty()) ? first : message;
            d.SetSeq(o.firstSeq + sent);
            std::string& out = pending[sent % n];
            out += std::to_string(d.Text.size());
            out += ' ';
            out += d.Text;
        }
        for (size_t c = 0; c < sockets.size(); ++c) {
            if (!SendAll(sockets[c].Get(), tls.empty() ? nullptr : tls[c].get(), pending[c])) return 1;
            pending[c].clear();
        }
    }
    // A clean end: the server reads every frame before it sees the close.
    for (auto& t : tls) SSL_shutdown(t.get());
    for (auto& s : sockets) shutdown(s.Get(), SHUT_WR);
    char drain[256];
    for (auto& s : sockets) {
        while (recv(s.Get(), drain, sizeof drain, 0) > 0) {
        }
    }
    const double seconds = Now() - start;
    std::printf("sent=%llu seconds=%.3f rate=%.0f retries=0 connections=%d\n", static_cast<unsigned long long>(sent),
                seconds, seconds > 0 ? static_cast<double>(sent) / seconds : 0.0, o.connections);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    sockaddr_storage to{};
    socklen_t toLength = 0;
    if (!LoopbackAddress(o.host, to, toLength, o.port)) Usage("--host must be a loopback address (127.0.0.0/8 or ::1)");
    if (o.connections > 0) return RunTcp(o, to, toLength);

    const int fd = socket(to.ss_family, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("quorvel-loadgen: socket");
        return 1;
    }
    const quorvel::platform::SocketHandle owned(fd);
    // A connected socket saves the route lookup of every datagram: about a
    // quarter more datagrams per second, and the sender is what limits the
    // benchmark on a small machine.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), toLength) != 0) {
        std::perror("quorvel-loadgen: connect");
        return 1;
    }
    // A large send buffer lets a whole batch leave in one call.
    const int sendBuffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    std::vector<Datagram> batch;
    for (unsigned i = 0; i < kBatch; ++i) batch.emplace_back(o.size, "");
    Datagram first(o.size, o.firstText);
    std::vector<iovec> vectors(kBatch);
    std::vector<mmsghdr> headers(kBatch);

    uint64_t sent = 0, retries = 0;
    const double start = Now();
    while (sent < o.count) {
        uint64_t due = Due(o, start, sent);
        if (due <= sent) continue;
        const auto n = static_cast<unsigned>(std::min<uint64_t>(due - sent, kBatch));
        for (unsigned i = 0; i < n; ++i) {
            const uint64_t seq = o.firstSeq + sent + i;
            Datagram& d = (sent + i == 0 && !o.firstText.empty()) ? first : batch[i];
            d.SetSeq(seq);
            vectors[i] = iovec{d.Text.data(), d.Text.size()};
            std::memset(&headers[i], 0, sizeof headers[i]);
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int done = sendmmsg(fd, headers.data(), n, 0);
        if (done < 0) {
            // The local queue is full for a moment, or the port was closed
            // when an earlier datagram arrived (a connected socket reports
            // that once, on a later send): send the same datagrams again, so
            // that every number leaves once.
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED) {
                ++retries;
                usleep(100);
                continue;
            }
            std::perror("quorvel-loadgen: sendmmsg");
            return 1;
        }
        sent += static_cast<uint64_t>(done);
    }
    const double seconds = Now() - start;
    std::printf("sent=%llu seconds=%.3f rate=%.0f retries=%llu\n", static_cast<unsigned long long>(sent), seconds,
                seconds > 0 ? static_cast<double>(sent) / seconds : 0.0, static_cast<unsigned long long>(retries));
    return 0;
}
