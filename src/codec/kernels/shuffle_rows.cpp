#include "codec/kernels/shuffle_rows.hpp"

#include <cstddef>

namespace morvask {

shuffle_rows fold_rows(const substitution_table& table)
{
    shuffle_rows folded;
    for (std::size_t k = 0; k < 16; ++k) {
        const bool first_of_half = k % 8 == 0;
        for (std::size_t i = 0; i < 16; ++i)
            folded.row[k][i] = static_cast<unsigned char>(
                table[16 * k + i] ^ (first_of_half ? 0 : table[16 * (k - 1) + i]));
    }
    return folded;
}

} // namespace morvask
