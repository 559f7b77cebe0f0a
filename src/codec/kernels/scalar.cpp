#include "codec/kernels/transcode_loop.hpp"
#include "codec/substitution_tables.hpp"

namespace morvask {

namespace {

struct scalar_lookup {
    static constexpr std::size_t width = 1;
    const substitution_table& table;
    void operator()(const unsigned char* in, unsigned char* out) const { *out = table[*in]; }
};

} // namespace

void transcode_scalar(const substitution_table& table, source_stream& source,
                      destination_stream& destination)
{
    transcode_loop(scalar_lookup{table}, source, destination);
}

} // namespace morvask
