#include "codec/fd_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace morvask {

namespace {

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

std::size_t read_refilling(source_stream& stream, unsigned char* out, std::size_t count)
{
    std::size_t done = 0;
    for (;;) {
        std::size_t available = 0;
        const unsigned char* const next = unread(stream, available);
        const std::size_t take = std::min(available, count - done);
        std::memcpy(out + done, next, take);
        consume(stream, take);
        done += take;
        if (done == count || !refill(stream))
            return done;
    }
}

std::size_t write_flushing(destination_stream& stream, const unsigned char* in, std::size_t count)
{
    std::size_t done = 0;
    for (;;) {
        std::size_t available = 0;
        unsigned char* const next = room(stream, available);
        const std::size_t take = std::min(available, count - done);
        std::memcpy(next, in + done, take);
        fill(stream, take);
        done += take;
        if (done == count || !flush(stream))
            return done;
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
