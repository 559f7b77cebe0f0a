#pragma once

#include "codec/fd_stream.hpp"
#include "codec/substitution_tables.hpp"

#include <cstddef>
#include <span>

namespace morvask {

// One way of looking up a 16-byte chunk, and the transcoding loop built around it. Every kernel
// gives the same bytes; they differ only in speed and in the CPUs that can run them.
struct kernel {
    const char* name;
    // Whether this CPU, and the OS, can run the kernel's instructions.
    bool (*supported)();
    // What transcode_stream does, with this kernel's look-up.
    void (*transcode)(const substitution_table& table, source_stream& source,
                      destination_stream& destination);
};

// No look-up takes more bytes at once, so lengths up to twice this cross every kernel's edges.
inline constexpr std::size_t widest_lookup = 64;

// Every kernel built for this architecture, fastest first. The last is the scalar one, which
// every CPU runs and which the others are checked against.
std::span<const kernel> kernels();

// The first kernel that this CPU supports.
const kernel& fastest_kernel();

// Each kernel's entry point, in the order of kernels(), defined in <name>.cpp. Those of the
// x86 kernels are built with their instruction sets enabled, so only code that has checked
// supported() may call them.
void transcode_avx512vbmi(const substitution_table& table, source_stream& source,
                          destination_stream& destination);
void transcode_avx2(const substitution_table& table, source_stream& source,
                    destination_stream& destination);
void transcode_ssse3(const substitution_table& table, source_stream& source,
                     destination_stream& destination);
void transcode_neon(const substitution_table& table, source_stream& source,
                    destination_stream& destination);
void transcode_scalar(const substitution_table& table, source_stream& source,
                      destination_stream& destination);

} // namespace morvask
