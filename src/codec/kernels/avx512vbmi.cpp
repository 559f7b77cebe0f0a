// Built with -mavx512bw -mavx512vbmi: reached only through kernels(), after the CPU has been
// checked.

#include "codec/kernels/transcode_loop.hpp"
#include "codec/substitution_tables.hpp"

#include <cstdint>
#include <immintrin.h>

namespace morvask {

namespace {

static_assert(sizeof(substitution_table) == 256, "the table is read as 256 bytes in a row");

// Four 512-bit registers hold the whole table, and a two-register permute looks up 128 entries
// for each of 64 bytes at once, so 64 bytes take two permutes and a blend on the index's top bit.
struct avx512vbmi_lookup {
    static constexpr std::size_t width = 64;
    __m512i quarter[4];

    explicit avx512vbmi_lookup(const substitution_table& table)
    {
        // std::array's accessors would be instantiated here, built for this instruction set.
        const void* entries = &table;
        for (std::size_t q = 0; q < 4; ++q)
            quarter[q] = _mm512_loadu_si512(static_cast<const unsigned char*>(entries) + 64 * q);
    }

    __m512i find(__m512i index) const
    {
        const __m512i low = _mm512_permutex2var_epi8(quarter[0], index, quarter[1]);
        const __m512i high = _mm512_permutex2var_epi8(quarter[2], index, quarter[3]);
        return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
    }

    void operator()(const unsigned char* in, unsigned char* out) const
    {
        _mm512_storeu_si512(out, find(_mm512_loadu_si512(in)));
    }

    // The masks keep the load and the store to the count bytes: what lies past them may be past
    // the buffer, or bytes the loop has yet to read.
    void operator()(const unsigned char* in, unsigned char* out, std::size_t count) const
    {
        const __mmask64 bytes = (std::uint64_t{1} << count) - 1;
        _mm512_mask_storeu_epi8(out, bytes, find(_mm512_maskz_loadu_epi8(bytes, in)));
    }
};

} // namespace

void transcode_avx512vbmi(const substitution_table& table, source_stream& source,
                          destination_stream& destination)
{
    transcode_loop(avx512vbmi_lookup(table), source, destination);
}

} // namespace morvask
