#pragma once

#include "codec/fd_stream.hpp"
#include "codec/substitution_tables.hpp"

// Every kernel's entry point, transcode_<name>, declared from the list that cmake/kernels.cmake
// writes. Each kernel's file sees its declaration before its definition, so that a definition that
// differs from what the table of kernels calls is an undeclared function, which the warnings
// (-Wmissing-declarations, -Wmissing-prototypes) reject, instead of an error at link time.

namespace morvask {

#define MORVASK_KERNEL(name, check)                                                                \
    void transcode_##name(const substitution_table& table, source_stream& source,                  \
                          destination_stream& destination);
#include "codec/kernels/kernel_list.inc"
#undef MORVASK_KERNEL

} // namespace morvask
