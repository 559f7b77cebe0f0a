// Built with -mssse3: reached only through kernels(), after the CPU has been checked.

#include "codec/kernels/shuffle_rows.hpp"
#include "codec/kernels/transcode_loop.hpp"
#include "codec/substitution_tables.hpp"

#include <immintrin.h>

namespace morvask {

namespace {

struct ssse3_lookup {
    static constexpr std::size_t width = 16;
    __m128i row[16];

    explicit ssse3_lookup(const substitution_table& table)
    {
        const shuffle_rows folded = fold_rows(table);
        for (std::size_t k = 0; k < 16; ++k)
            row[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(folded.row[k]));
    }

    void operator()(const unsigned char* in, unsigned char* out) const
    {
        const __m128i sixteen = _mm_set1_epi8(16);
        // The two halves of the table are two independent chains, which the CPU runs side by side.
        __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        __m128i high = _mm_xor_si128(low, _mm_set1_epi8(static_cast<char>(0x80)));
        __m128i low_found = _mm_shuffle_epi8(row[0], low);
        __m128i high_found = _mm_shuffle_epi8(row[8], high);
        for (std::size_t k = 1; k < 8; ++k) {
            low = _mm_subs_epi8(low, sixteen);
            high = _mm_subs_epi8(high, sixteen);
            low_found = _mm_xor_si128(low_found, _mm_shuffle_epi8(row[k], low));
            high_found = _mm_xor_si128(high_found, _mm_shuffle_epi8(row[8 + k], high));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_xor_si128(low_found, high_found));
    }
};

} // namespace

void transcode_ssse3(const substitution_table& table, source_stream& source,
                     destination_stream& destination)
{
    transcode_loop(ssse3_lookup(table), source, destination);
}

} // namespace morvask
