#include "codec/kernels/kernels.hpp"
#include "codec/kernels/transcode_loop.hpp"

namespace morvask {

namespace {

struct scalar_lookup {
    static constexpr std::size_t width = 16;
    const substitution_table& table;
    void operator()(const unsigned char* in, unsigned char* out) const
    {
        for (std::size_t i = 0; i < 16; ++i)
            out[i] = table[in[i]];
    }
};

} // namespace

void transcode_scalar(const substitution_table& table, source_stream& source,
                      destination_stream& destination)
{
    transcode_loop(scalar_lookup{table}, source, destination);
}

} // namespace morvask
