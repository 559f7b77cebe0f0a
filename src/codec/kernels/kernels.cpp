#include "codec/kernels/kernels.hpp"

#include <algorithm>
#include <array>

namespace morvask {

namespace {

// The CPU checks live here, in code built for every CPU, never beside the kernels they guard.
constexpr std::array all_kernels = {
#ifdef MORVASK_X86_KERNELS
    // __builtin_cpu_supports also checks that the OS saves the wider registers.
    kernel{"avx512vbmi",
           [] {
               return __builtin_cpu_supports("avx512bw") != 0 &&
                      __builtin_cpu_supports("avx512vbmi") != 0;
           },
           transcode_avx512vbmi},
    kernel{"avx2", [] { return __builtin_cpu_supports("avx2") != 0; }, transcode_avx2},
    kernel{"ssse3", [] { return __builtin_cpu_supports("ssse3") != 0; }, transcode_ssse3},
#endif
#ifdef MORVASK_NEON_KERNEL
    kernel{"neon", [] { return true; }, transcode_neon},
#endif
    kernel{"scalar", [] { return true; }, transcode_scalar},
};

} // namespace

std::span<const kernel> kernels()
{
    return all_kernels;
}

const kernel& fastest_kernel()
{
    // Never the end: the scalar kernel, last, runs everywhere.
    return *std::find_if(all_kernels.begin(), all_kernels.end(),
                         [](const kernel& candidate) { return candidate.supported(); });
}

} // namespace morvask
