#pragma once

#include "codec/fd_stream.hpp"
#include "codec/kernels/entry_points.hpp"
#include "codec/kernels/kernels.hpp"

#include <cstddef>
#include <cstring>

// The transcoding loop, written once and compiled into each kernel's own translation unit, so that
// the kernel's look-up inlines into it and the compiler can keep the table in registers. The
// templates are static: each kernel's copy is built for its own instruction set and must never
// stand in for another's.
//
// A look-up is a small value that holds the table in the form its instructions want, and has
//     static constexpr std::size_t width;  // how many bytes it looks up at once
//     void operator()(const unsigned char* in, unsigned char* out) const;
// which sets out[i] = table[in[i]] for each i below width. For the count bytes, fewer than width,
// left at a buffer's edge, it may also have
//     void operator()(const unsigned char* in, unsigned char* out, std::size_t count) const;
// which must touch nothing past them; without it they are looked up in a zeroed copy.

namespace morvask {

// The bytes that remain once whole look-ups no longer fit: at the end of what one read delivered,
// or of the room left before a flush. Never past them, whatever the look-up reads at once.
template <typename Lookup>
static void look_up_edge(const Lookup& lookup, const unsigned char* in, unsigned char* out,
                         std::size_t count)
{
    if constexpr (requires { lookup(in, out, count); }) {
        lookup(in, out, count);
    } else {
        // Zeroed, so the look-up never reads an indeterminate byte.
        unsigned char whole_in[Lookup::width] = {};
        unsigned char whole_out[Lookup::width];
        std::memcpy(whole_in, in, count);
        lookup(whole_in, whole_out);
        std::memcpy(out, whole_out, count);
    }
}

// Copies source to destination through lookup until a read delivers nothing or a write fails.
template <typename Lookup>
static void transcode_loop(const Lookup lookup, source_stream& source,
                           destination_stream& destination)
{
    static_assert(Lookup::width <= widest_lookup, "the tests cross edges up to widest_lookup");
    for (;;) {
        // As far as both buffers allow, each look-up reads the source's buffer and writes the
        // destination's at a cursor that stays in a register, and the streams learn how far it
        // went once, at the edge.
        std::size_t unread_count = 0;
        std::size_t room_count = 0;
        const unsigned char* const from = unread(source, unread_count);
        unsigned char* const to = room(destination, room_count);
        // Not std::min: an inline template of the library would be emitted in the kernel's file.
        const std::size_t ready = unread_count < room_count ? unread_count : room_count;
        const std::size_t whole = ready - ready % Lookup::width;
        for (std::size_t at = 0; at < whole; at += Lookup::width)
            lookup(from + at, to + at);
        if (whole < ready)
            look_up_edge(lookup, from + whole, to + whole, ready - whole);
        consume(source, ready);
        fill(destination, ready);
        // A full destination is flushed before a drained source is refilled, so what is done
        // reaches the file before the loop waits for more.
        if (ready == room_count && !flush(destination))
            return;
        if (ready == unread_count && !refill(source))
            return;
    }
}

} // namespace morvask
