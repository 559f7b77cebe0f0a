#pragma once

#include "codec/substitution_tables.hpp"

// The table as the shuffle kernels use it. A byte shuffle looks up 16 entries at once, by the low
// four bits of each index, and yields 0 where an index is negative; so the table is cut into 16
// rows of 16 and each index is looked up in every row of its half while it is lowered by 16 each
// step, saturating, until it turns negative. Row k then contributes for every step up to the
// index's own row, and storing each row XOR-ed with the row before it in its half makes those
// contributions cancel down to the index's own row. Indices 128 and above are looked up with the
// top bit flipped, in rows 8 to 15; those below 128 turn negative there and contribute nothing.

namespace morvask {

struct shuffle_rows {
    alignas(32) unsigned char row[16][16];
};

// Built for every CPU, and out of line, so the kernels' own files never instantiate the table's
// inline accessors, which the linker could hand to code that runs everywhere.
shuffle_rows fold_rows(const substitution_table& table);

} // namespace morvask
