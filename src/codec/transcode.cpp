#include "codec/transcode.hpp"

#include "codec/kernels/kernels.hpp"

namespace morvask {

void transcode_stream(const substitution_table& table, source_stream& source,
                      destination_stream& destination)
{
    // The CPU's features were read once, at start-up; asking again only reads what was learnt.
    fastest_kernel().transcode(table, source, destination);
}

} // namespace morvask
