#pragma once

#include "codec/fd_stream.hpp"
#include "codec/substitution_tables.hpp"

#include <cstddef>
#include <span>

namespace morvask {

// One way of transcoding: the loop of transcode_loop.hpp around one look-up, in its own file,
// <name>.cpp, which defines transcode_<name> and nothing else that can be seen. Every kernel gives
// the same bytes; they differ only in speed and in the CPUs that can run them.
struct kernel {
    const char* name;
    // Whether this CPU, and the OS, can run the kernel's instructions.
    bool (*supported)();
    // What transcode_stream does, with this kernel's look-up; only code that has checked
    // supported() may call it.
    void (*transcode)(const substitution_table& table, source_stream& source,
                      destination_stream& destination);
};

// No look-up takes more bytes at once, so lengths up to twice this cross every kernel's edges.
inline constexpr std::size_t widest_lookup = 64;

// Every kernel built for this architecture, fastest first: the order of the morvask_add_kernel()
// calls. The last is the scalar one, which every CPU runs and which the others are checked against.
std::span<const kernel> kernels();

// The first kernel that this CPU supports.
const kernel& fastest_kernel();

} // namespace morvask
