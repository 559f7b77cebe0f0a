#pragma once

#include "codec/fd_stream.hpp"
#include "codec/substitution_tables.hpp"
#include "codec/transcode.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// Streams over files held in memory, for running a transcoder without touching a disk.

namespace test {

using transcoder = void (*)(const morvask::substitution_table&, morvask::source_stream&,
                            morvask::destination_stream&);

// A file in memory that holds bytes, positioned at its start.
inline int memory_file(const std::string& bytes)
{
    const int fd = ::memfd_create("morvask-test", 0);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    ::lseek(fd, 0, SEEK_SET);
    return fd;
}

inline std::string contents(int fd)
{
    std::string bytes(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    if (::pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    return bytes;
}

// A source and a destination stream over descriptors that they close at the end.
struct streams {
    std::unique_ptr<morvask::source_stream> source = std::make_unique<morvask::source_stream>();
    std::unique_ptr<morvask::destination_stream> destination =
        std::make_unique<morvask::destination_stream>();
    streams(int source_fd, int destination_fd)
    {
        source->fd = source_fd;
        destination->fd = destination_fd;
    }
    streams(const streams&) = delete;
    streams& operator=(const streams&) = delete;
    ~streams()
    {
        ::close(source->fd);
        ::close(destination->fd);
    }
    void transcode(const morvask::substitution_table& table,
                   transcoder run = morvask::transcode_stream)
    {
        run(table, *source, *destination);
    }
};

// What run writes for input, or nothing if it met a read or write error; and the destination's
// buffer as run left it, before the last flush. The buffer starts as filler, some of it maybe
// counted as written already; past the bytes still to flush, a run that writes beyond what it read
// leaves a trace there.
struct traced_run {
    std::optional<std::string> output;
    std::string buffer;
};

inline traced_run transcode_traced(const morvask::substitution_table& table,
                                   const std::string& input, transcoder run,
                                   std::size_t already_written = 0)
{
    streams s(memory_file(input), memory_file(""));
    std::memset(s.destination->buffer, 0xa5, sizeof s.destination->buffer);
    s.destination->used = already_written;
    s.transcode(table, run);
    traced_run traced{
        std::nullopt,
        std::string(s.destination->buffer, s.destination->buffer + morvask::stream_buffer_size)};
    if (!s.source->error && morvask::flush(*s.destination))
        traced.output = contents(s.destination->fd);
    return traced;
}

inline std::optional<std::string> transcode(const morvask::substitution_table& table,
                                            const std::string& input,
                                            transcoder run = morvask::transcode_stream)
{
    return transcode_traced(table, input, run).output;
}

} // namespace test
