#pragma once

#include <cstddef>
#include <cstdint>

// Buffered byte streams over file descriptors. The transcoding loop works on their buffers in
// place, as many bytes at a time as its look-up takes, and calls on the streams only at a buffer's
// edge: to refill a drained source, or to flush a full destination.
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
    std::uint64_t total; // bytes that read(2) delivered in all
    // If set, told the new total after every refill that delivered bytes: the caller's way to
    // follow a long run, at no cost to the loop, which goes on as it is.
    void (*on_refill)(std::uint64_t total);
    alignas(64) unsigned char buffer[stream_buffer_size];
};

struct destination_stream {
    int fd;
    std::size_t used; // bytes waiting in buffer
    bool error;
    std::uint64_t total; // bytes that write(2) took in all
    // If set, told the new total after every flush that wrote bytes, with the owner's context.
    void (*on_flush)(void* context, std::uint64_t total);
    void* context;
    alignas(64) unsigned char buffer[stream_buffer_size];
};

// The helpers below are static so that a translation unit built for a wider instruction set
// keeps its own copy, which the linker cannot hand to code that runs on every CPU.

// The bytes that can be read without a refill, and the room that can be filled without a flush.
// A loop keeps its place in locals and hands it back with consume() and fill() before it refills
// or flushes: its stores into a buffer may alias anything, so positions kept in the streams would
// go back to memory after every look-up.
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

// Once every buffered byte has been consumed, reads what the source has next, however little;
// false when a read delivers nothing, at the end of the source or on a read error, which sets the
// error flag.
bool refill(source_stream& stream);

// Hands every buffered byte to the file; false if this or any earlier write failed. Once the error
// flag is set, by a write or by the owner, nothing more is written.
bool flush(destination_stream& stream);

} // namespace morvask
