#include "codec/transcode.hpp"

#include <array>

namespace morvask {

void transcode_stream(const substitution_table& table, source_stream& source,
                      destination_stream& destination)
{
    std::array<unsigned char, 16> in;
    std::array<unsigned char, 16> out;
    for (;;) {
        const std::size_t count = read(source, in.data(), in.size());
        if (count == 0)
            return;
        for (std::size_t i = 0; i < count; ++i)
            out[i] = table[in[i]];
        if (write(destination, out.data(), count) != count)
            return;
    }
}

} // namespace morvask
