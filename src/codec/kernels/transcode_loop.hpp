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

// The size of every request the loop makes of the streams.
static constexpr std::size_t chunk_size = 16;

// One chunk at a buffer's edge, where the request refills or flushes and may come up short.
// Out of line, with its own copy of the look-up, so that the loop's hot part has no call in it
// and its look-up never has its address taken. False when the loop should end.
template <typename Lookup>
[[gnu::noinline]] static bool transcode_chunk(Lookup lookup, source_stream& source,
                                              destination_stream& destination)
{
    // Zeroed, so the bytes past a short read are never indeterminate.
    unsigned char in[chunk_size] = {};
    unsigned char out[chunk_size];
    const std::size_t count = read(source, in, chunk_size);
    if (count == 0)
        return false;
    lookup(in, out);
    return write(destination, out, count) == count;
}

template <typename Lookup>
static void transcode_loop(Lookup lookup, source_stream& source, destination_stream& destination)
{
    do {
        // While both buffers allow, each chunk is read from the source's buffer and written to the
        // destination's at a cursor that stays in a register; no request reaches a file or makes
        // a call, and the streams learn how far it went once, at the edge.
        std::size_t unread_count = 0;
        std::size_t room_count = 0;
        const unsigned char* const from = unread(source, unread_count);
        unsigned char* const to = room(destination, room_count);
        // Not std::min: an inline template of the library would be emitted in the kernel's file.
        const std::size_t ready = unread_count < room_count ? unread_count : room_count;
        const std::size_t bytes = ready / chunk_size * chunk_size;
        // Copies whose addresses never leave the loop, so the compiler keeps them in registers:
        // the table, which the stores into the buffer might otherwise alias, and the chunks.
        const Lookup local = lookup;
        for (std::size_t at = 0; at < bytes; at += chunk_size) {
            unsigned char in[chunk_size];
            unsigned char out[chunk_size];
            std::memcpy(in, from + at, chunk_size);
            local(in, out);
            std::memcpy(to + at, out, chunk_size);
        }
        consume(source, bytes);
        fill(destination, bytes);
    } while (transcode_chunk(lookup, source, destination));
}

} // namespace morvask
