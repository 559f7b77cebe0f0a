#include "codec/kernels/transcode_loop.hpp"
#include "codec/substitution_tables.hpp"

namespace morvask {

namespace {

// Sixteen bytes at once, a loop the compiler unrolls; fewer at a buffer's edge, with no copy.
struct scalar_lookup {
    static constexpr std::size_t width = 16;
    const substitution_table& table;
    void operator()(const unsigned char* in, unsigned char* out, std::size_t count) const
    {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = table[in[i]];
    }
    void operator()(const unsigned char* in, unsigned char* out) const { (*this)(in, out, width); }
};

} // namespace

void transcode_scalar(const substitution_table& table, source_stream& source,
                      destination_stream& destination)
{
    transcode_loop(scalar_lookup{table}, source, destination);
}

} // namespace morvask
