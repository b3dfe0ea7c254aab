#pragma once
// Whole writes to a POSIX descriptor (backend-internal).

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <string_view>

namespace quorvel::platform {

// Writes every byte, resuming after short writes and signals. Returns how
// many bytes went out; fewer than asked means failure, with errno set (EIO
// when the system wrote nothing and gave no reason).
inline std::size_t WriteAll(int fd, std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace quorvel::platform
