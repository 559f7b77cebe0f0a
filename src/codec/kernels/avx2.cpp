// Built with -mavx2: reached only through kernels(), after the CPU has been checked.

#include "codec/kernels/shuffle_rows.hpp"
#include "codec/kernels/transcode_loop.hpp"
#include "codec/substitution_tables.hpp"

#include <immintrin.h>

namespace morvask {

namespace {

// The shuffle look-up of shuffle_rows.hpp, 32 bytes at once: each row fills both lanes, since a
// 256-bit shuffle looks up each lane's bytes in that lane's own 16 entries.
struct avx2_lookup {
    static constexpr std::size_t width = 32;
    __m256i row[16];

    explicit avx2_lookup(const substitution_table& table)
    {
        const shuffle_rows folded = fold_rows(table);
        for (std::size_t k = 0; k < 16; ++k)
            row[k] = _mm256_broadcastsi128_si256(
                _mm_load_si128(reinterpret_cast<const __m128i*>(folded.row[k])));
    }

    void operator()(const unsigned char* in, unsigned char* out) const
    {
        const __m256i sixteen = _mm256_set1_epi8(16);
        // The two halves of the table are two independent chains, which the CPU runs side by side.
        __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        __m256i high = _mm256_xor_si256(low, _mm256_set1_epi8(static_cast<char>(0x80)));
        __m256i low_found = _mm256_shuffle_epi8(row[0], low);
        __m256i high_found = _mm256_shuffle_epi8(row[8], high);
        for (std::size_t k = 1; k < 8; ++k) {
            low = _mm256_subs_epi8(low, sixteen);
            high = _mm256_subs_epi8(high, sixteen);
            low_found = _mm256_xor_si256(low_found, _mm256_shuffle_epi8(row[k], low));
            high_found = _mm256_xor_si256(high_found, _mm256_shuffle_epi8(row[8 + k], high));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_xor_si256(low_found, high_found));
    }
};

} // namespace

void transcode_avx2(const substitution_table& table, source_stream& source,
                    destination_stream& destination)
{
    transcode_loop(avx2_lookup(table), source, destination);
}

} // namespace morvask
