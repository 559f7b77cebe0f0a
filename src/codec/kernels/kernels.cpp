#include "codec/kernels/kernels.hpp"

#include "codec/kernels/entry_points.hpp"

#include <algorithm>

namespace morvask {

// kernel_list.inc, which cmake/kernels.cmake writes, holds MORVASK_KERNEL(name, check) for each
// kernel, fastest first; check is an expression of __builtin_cpu_supports calls, which also learn
// whether the OS saves the wider registers. The checks live here, in code built for every CPU,
// never beside the kernels they guard.

namespace {

constexpr kernel all_kernels[] = {
#define MORVASK_KERNEL(name, check) kernel{#name, []() -> bool { return check; }, transcode_##name},
#include "codec/kernels/kernel_list.inc"
#undef MORVASK_KERNEL
};

} // namespace

std::span<const kernel> kernels()
{
    return all_kernels;
}

const kernel& fastest_kernel()
{
    // Never the end: the scalar kernel, last, runs everywhere.
    return *std::find_if(std::begin(all_kernels), std::end(all_kernels),
                         [](const kernel& candidate) { return candidate.supported(); });
}

} // namespace morvask
