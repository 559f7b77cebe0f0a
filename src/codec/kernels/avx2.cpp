// Built with -mavx2: reached only through kernels(), after the CPU has been checked.

#include "codec/kernels/kernels.hpp"
#include "codec/kernels/shuffle_rows.hpp"
#include "codec/kernels/transcode_loop.hpp"

#include <immintrin.h>

namespace morvask {

namespace {

// Each 256-bit register holds row k of the table's lower half in its low lane and row k of its
// upper half in its high lane, so one shuffle of the chunk, copied to both lanes, looks up both.
struct avx2_lookup {
    static constexpr std::size_t width = 16;
    __m256i row[8];
    // Kept with the rows: built afresh for every chunk, they would take the shuffle unit's time.
    __m256i sixteen = _mm256_set1_epi8(16);
    __m256i flip_high_lane =
        _mm256_set_m128i(_mm_set1_epi8(static_cast<char>(0x80)), _mm_setzero_si128());

    explicit avx2_lookup(const substitution_table& table)
    {
        const shuffle_rows folded = fold_rows(table);
        for (std::size_t k = 0; k < 8; ++k)
            row[k] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(folded.row[8 + k]),
                                         reinterpret_cast<const __m128i*>(folded.row[k]));
    }

    void operator()(const unsigned char* in, unsigned char* out) const
    {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        __m256i index = _mm256_xor_si256(_mm256_broadcastsi128_si256(chunk), flip_high_lane);
        __m256i found = _mm256_shuffle_epi8(row[0], index);
        for (std::size_t k = 1; k < 8; ++k) {
            index = _mm256_subs_epi8(index, sixteen);
            found = _mm256_xor_si256(found, _mm256_shuffle_epi8(row[k], index));
        }
        // Each byte was found in one lane and is 0 in the other.
        const __m128i both =
            _mm_xor_si128(_mm256_castsi256_si128(found), _mm256_extracti128_si256(found, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), both);
    }
};

} // namespace

void transcode_avx2(const substitution_table& table, source_stream& source,
                    destination_stream& destination)
{
    transcode_loop(avx2_lookup(table), source, destination);
}

} // namespace morvask
