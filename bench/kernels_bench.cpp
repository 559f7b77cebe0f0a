// Bytes per second of each kernel's transcoding loop, over a source and a destination held in
// memory, so that the look-up and the streams are all that is measured.

#include "codec/kernels/kernels.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <benchmark/benchmark.h>
#include <string>

using namespace morvask;

namespace {

constexpr std::size_t size = 64 << 20;

void transcode_in_memory(benchmark::State& state, const kernel* k)
{
    if (!k->supported()) {
        state.SkipWithError("this CPU does not support the kernel");
        return;
    }
    const std::string input = test::random_bytes(size);
    // Sized once, so the runs overwrite the same pages instead of allocating new ones.
    test::streams s(test::memory_file(input), test::memory_file(input));
    for (auto _ : state) {
        ::lseek(s.source->fd, 0, SEEK_SET);
        ::lseek(s.destination->fd, 0, SEEK_SET);
        s.source->begin = s.source->end = 0;
        s.source->eof = false;
        s.transcode(encode_table, k->transcode);
        if (s.source->error || !flush(*s.destination)) {
            state.SkipWithError("reading or writing the memory files failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

} // namespace

int main(int argc, char** argv)
{
    for (const kernel& k : kernels())
        benchmark::RegisterBenchmark((std::string("transcode/") + k.name).c_str(),
                                     transcode_in_memory, &k)
            ->Unit(benchmark::kMillisecond)
            // A shared machine is noisy: the median of several runs is the figure to compare.
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
