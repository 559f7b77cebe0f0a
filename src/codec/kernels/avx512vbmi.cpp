// Built with -mavx512bw -mavx512vbmi: reached only through kernels(), after the CPU has been
// checked.

#include "codec/kernels/kernels.hpp"
#include "codec/kernels/transcode_loop.hpp"

#include <immintrin.h>

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 writes the 512-to-128-bit cast as an extract into an undefined vector, then warns that
// the vector is uninitialised; the cast only names the low part of a register.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace morvask {

namespace {

static_assert(sizeof(substitution_table) == 256, "the table is read as 256 bytes in a row");

// Four 512-bit registers hold the whole table, and a two-register permute looks up 128 entries
// at once, so a chunk takes two permutes and a blend on the index's top bit.

struct avx512vbmi_lookup {
    static constexpr std::size_t width = 16;
    __m512i quarter[4];

    explicit avx512vbmi_lookup(const substitution_table& table)
    {
        // std::array's accessors would be instantiated here, built for this instruction set.
        const void* entries = &table;
        for (std::size_t q = 0; q < 4; ++q)
            quarter[q] = _mm512_loadu_si512(static_cast<const unsigned char*>(entries) + 64 * q);
    }

    void operator()(const unsigned char* in, unsigned char* out) const
    {
        const __m512i index =
            _mm512_zextsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
        const __m512i low = _mm512_permutex2var_epi8(quarter[0], index, quarter[1]);
        const __m512i high = _mm512_permutex2var_epi8(quarter[2], index, quarter[3]);
        const __m512i found = _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_castsi512_si128(found));
    }
};

} // namespace

void transcode_avx512vbmi(const substitution_table& table, source_stream& source,
                          destination_stream& destination)
{
    transcode_loop(avx512vbmi_lookup(table), source, destination);
}

} // namespace morvask
