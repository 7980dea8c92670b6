#include "base/WriteAll.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>

#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

void WriteAll(int fd, const char* text, std::size_t size) {
    while (size > 0) {
#ifdef _WIN32
        const int n =
            ::_write(fd, text, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
#else
        const ssize_t n = ::write(fd, text, size);
#endif
        if (n < 0) {
            if (errno == EINTR) continue;
#ifndef _WIN32
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Someone else made the output non-blocking: wait until it takes bytes again.
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, -1);
                continue;
            }
#endif
            return;
        }
        text += n;
        size -= static_cast<std::size_t>(n);
    }
}
