#include "codec/fd_stream.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace morvask {

namespace {

// Whether a call that failed with this errno should be made again. A descriptor that another
// program made non-blocking (a standard output it shares with us) says EAGAIN where a blocking one
// would wait, so we wait here until it is ready.
bool try_again(int fd, short ready)
{
    if (errno == EINTR)
        return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    pollfd wait{fd, ready, 0};
    // An error or a hang-up counts as ready: the next call reports it.
    while (::poll(&wait, 1, -1) < 0)
        if (errno != EINTR)
            return false;
    return true;
}

bool write_all(int fd, const unsigned char* data, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = ::write(fd, data, count);
        if (put < 0 && try_again(fd, POLLOUT))
            continue;
        // A write that stores nothing would never finish; treat it as the failure it is.
        if (put <= 0)
            return false;
        data += put;
        count -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace

bool refill(source_stream& stream)
{
    if (stream.eof || stream.error)
        return false;
    for (;;) {
        const ssize_t got = ::read(stream.fd, stream.buffer, sizeof stream.buffer);
        if (got > 0) {
            stream.begin = 0;
            stream.end = static_cast<std::size_t>(got);
            stream.total += static_cast<std::uint64_t>(got);
            if (stream.on_refill != nullptr)
                stream.on_refill(stream.total);
            return true;
        }
        if (got == 0)
            stream.eof = true;
        else if (try_again(stream.fd, POLLIN))
            continue;
        else
            stream.error = true;
        return false;
    }
}

bool flush(destination_stream& stream)
{
    const bool writing = !stream.error && stream.used > 0;
    if (writing && !write_all(stream.fd, stream.buffer, stream.used)) {
        stream.error = true;
    } else if (writing) {
        stream.total += stream.used;
        if (stream.on_flush != nullptr)
            stream.on_flush(stream.context, stream.total);
    }
    stream.used = 0;
    return !stream.error;
}

} // namespace morvask
