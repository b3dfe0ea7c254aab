#pragma once
// A Unix datagram socket in a temporary folder that stands in for systemd's
// notification or journal socket.

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace quorvel::test {

class UnixDatagramSink {
public:
    UnixDatagramSink() {
        char dir[] = "/tmp/quorvel-sink-XXXXXX";
        dir_ = mkdtemp(dir) ? dir : "";
        path_ = dir_ + "/sock";
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~UnixDatagramSink() {
        ::close(fd_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    UnixDatagramSink(const UnixDatagramSink&) = delete;
    UnixDatagramSink& operator=(const UnixDatagramSink&) = delete;

    bool Bound() const { return bound_; }
    const std::string& Path() const { return path_; }

    bool Receive(std::string& datagram, int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return false;
        std::vector<char> buf(1 << 17);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return false;
        datagram.assign(buf.data(), static_cast<size_t>(n));
        return true;
    }

private:
    std::string dir_;
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace quorvel::test
