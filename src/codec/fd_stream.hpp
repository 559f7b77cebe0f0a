#pragma once

#include <cstddef>
#include <cstring>

// Buffered byte streams over file descriptors, with the read and write semantics of fread and
// fwrite. Ours because the C library's streams lock and call out for every 16-byte request;
// here the common request is an inline copy from or to the buffer.
//
// A stream is zero-initialised (static storage, or `{}`) and given its descriptor by its owner,
// who also closes it. Streams never allocate: each carries its own buffer.

namespace morvask {

inline constexpr std::size_t stream_buffer_size = 128 * 1024;

struct source_stream {
    int fd;
    std::size_t begin; // next unread byte of buffer
    std::size_t end;   // one past the last byte that read(2) delivered
    bool eof;
    bool error;
    alignas(64) unsigned char buffer[stream_buffer_size];
};

struct destination_stream {
    int fd;
    std::size_t used; // bytes waiting in buffer
    bool error;
    alignas(64) unsigned char buffer[stream_buffer_size];
};

std::size_t read_refilling(source_stream& stream, unsigned char* out, std::size_t count);
std::size_t write_flushing(destination_stream& stream, const unsigned char* in, std::size_t count);

// The fast paths below are static so that a translation unit built for a wider instruction set
// keeps its own copy, which the linker cannot hand to code that runs on every CPU.

// The bytes that can be read without a refill, and the room that can be filled without a flush.
// A loop that moves many chunks between calls keeps its place in locals and hands it back with
// consume() and fill() before any other request: its stores into a buffer may alias anything, so
// positions kept in the streams would go back to memory after every chunk.
static inline const unsigned char* unread(const source_stream& stream, std::size_t& count)
{
    count = stream.end - stream.begin;
    return stream.buffer + stream.begin;
}

static inline unsigned char* room(destination_stream& stream, std::size_t& count)
{
    count = stream_buffer_size - stream.used;
    return stream.buffer + stream.used;
}

static inline void consume(source_stream& stream, std::size_t count)
{
    stream.begin += count;
}

static inline void fill(destination_stream& stream, std::size_t count)
{
    stream.used += count;
}

// Copies up to count bytes into out; fewer only at the end of the source or on a read error,
// which sets the error flag.
static inline std::size_t read(source_stream& stream, unsigned char* out, std::size_t count)
{
    std::size_t available = 0;
    const unsigned char* const next = unread(stream, available);
    if (available < count)
        return read_refilling(stream, out, count);
    std::memcpy(out, next, count);
    consume(stream, count);
    return count;
}

// Takes count bytes, or fewer when a write fails, which sets the error flag.
static inline std::size_t write(destination_stream& stream, const unsigned char* in,
                                std::size_t count)
{
    std::size_t available = 0;
    unsigned char* const next = room(stream, available);
    if (available < count)
        return write_flushing(stream, in, count);
    std::memcpy(next, in, count);
    fill(stream, count);
    return count;
}

// Hands every buffered byte to the file; false if this or any earlier write failed.
bool flush(destination_stream& stream);

} // namespace morvask
