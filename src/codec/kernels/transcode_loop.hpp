#pragma once

#include "codec/fd_stream.hpp"

#include <cstddef>
#include <cstring>

// The transcoding loop, compiled into each kernel's own translation unit so that the kernel's
// chunk look-up inlines into it and the compiler can keep the table in registers. The templates
// are static: each kernel's copy is built for its own instruction set and must never stand in
// for another's.
//
// A look-up is called as lookup(in, out) and replaces all 16 bytes of in into out.

namespace morvask {

// One chunk at a buffer's edge, where the request refills or flushes and may come up short.
// Out of line, with its own copy of the look-up, so that the loop's hot part has no call in it
// and its look-up never has its address taken. False when the loop should end.
template <typename Lookup>
[[gnu::noinline]] static bool transcode_chunk(Lookup lookup, source_stream& source,
                                              destination_stream& destination,
                                              unsigned char (&in)[16], unsigned char (&out)[16])
{
    const std::size_t count = read(source, in, sizeof in);
    if (count == 0)
        return false;
    lookup(in, out);
    return write(destination, out, count) == count;
}

template <typename Lookup>
static void transcode_loop(Lookup lookup, source_stream& source, destination_stream& destination)
{
    // Zeroed once, so the bytes past a short read are never indeterminate.
    unsigned char in[16] = {};
    unsigned char out[16];
    do {
        // While both buffers allow, no request reaches a file or makes a call.
        while (buffered(source, sizeof in) && room_for(destination, sizeof out)) {
            read(source, in, sizeof in);
            lookup(in, out);
            write(destination, out, sizeof out);
        }
    } while (transcode_chunk(lookup, source, destination, in, out));
}

// One chunk of count bytes, at most 16, without touching anything past them.
template <typename Lookup>
static void lookup_chunk(Lookup lookup, const unsigned char* in, unsigned char* out,
                         std::size_t count)
{
    unsigned char chunk_in[16] = {};
    unsigned char chunk_out[16];
    std::memcpy(chunk_in, in, count);
    lookup(chunk_in, chunk_out);
    std::memcpy(out, chunk_out, count);
}

} // namespace morvask
