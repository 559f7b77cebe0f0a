#include "codec/transcode.hpp"

#include "codec/kernels.hpp"

namespace morvask {

void transcode_stream(const substitution_table& table, source_stream& source,
                      destination_stream& destination)
{
    // Chosen once: the CPU does not change under a running process.
    static const auto transcode = fastest_kernel().transcode;
    transcode(table, source, destination);
}

} // namespace morvask
