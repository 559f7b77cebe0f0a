#pragma once

#include "codec/fd_stream.hpp"
#include "codec/substitution_tables.hpp"

namespace morvask {

// Copies source to destination through table, with the fastest kernel this CPU runs, until a read
// delivers nothing or a write fails. The streams' error flags tell the caller which, if either,
// went wrong.
void transcode_stream(const substitution_table& table, source_stream& source,
                      destination_stream& destination);

} // namespace morvask
