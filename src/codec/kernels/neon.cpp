// Advanced SIMD is part of every AArch64 CPU: this file needs no flags of its own, and the kernel
// no check at run time.

#include "codec/kernels/transcode_loop.hpp"
#include "codec/substitution_tables.hpp"

#include <arm_neon.h>

namespace morvask {

namespace {

// The table in four groups of four registers, 64 entries each. tbl looks an index up in the first
// group and yields 0 past it; tbx looks it up in a later group, with the index lowered by that
// group's start, and leaves the byte as it was where the lowered index falls outside the group
// (a smaller index wraps round to 192 or more). So each byte ends with its own group's entry.
struct neon_lookup {
    static constexpr std::size_t width = 16;
    uint8x16x4_t group[4];

    explicit neon_lookup(const substitution_table& table)
    {
        for (std::size_t g = 0; g < 4; ++g)
            group[g] = vld1q_u8_x4(table.data() + 64 * g);
    }

    void operator()(const unsigned char* in, unsigned char* out) const
    {
        const uint8x16_t group_size = vdupq_n_u8(64);
        uint8x16_t index = vld1q_u8(in);
        uint8x16_t found = vqtbl4q_u8(group[0], index);
        // Unrolled: GCC would otherwise keep a counter and a branch for the three steps.
#pragma GCC unroll 3
        for (std::size_t g = 1; g < 4; ++g) {
            index = vsubq_u8(index, group_size);
            found = vqtbx4q_u8(found, group[g], index);
        }
        vst1q_u8(out, found);
    }
};

} // namespace

void transcode_neon(const substitution_table& table, source_stream& source,
                    destination_stream& destination)
{
    transcode_loop(neon_lookup(table), source, destination);
}

} // namespace morvask
