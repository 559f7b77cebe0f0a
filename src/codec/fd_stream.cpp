#include "codec/fd_stream.hpp"

#include <cerrno>
#include <unistd.h>

namespace morvask {

namespace {

bool write_all(int fd, const unsigned char* data, std::size_t count)
{
    while (count > 0) {
        const ssize_t put = ::write(fd, data, count);
        if (put < 0 && errno == EINTR)
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
            return true;
        }
        if (got == 0)
            stream.eof = true;
        else if (errno == EINTR)
            continue;
        else
            stream.error = true;
        return false;
    }
}

bool flush(destination_stream& stream)
{
    if (stream.used > 0 && !write_all(stream.fd, stream.buffer, stream.used))
        stream.error = true;
    stream.used = 0;
    return !stream.error;
}

} // namespace morvask
