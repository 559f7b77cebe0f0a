// Bytes per second of each kernel's transcoding loop, in two settings:
// - through memory files, 64 MiB a run, as the tool runs over files in the page cache; the
//   system's copying into and out of the files is much of each figure;
// - over one buffer already read, 128 KiB a run, to /dev/null: the loop and its look-up alone.

#include "codec/kernels/kernels.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <benchmark/benchmark.h>
#include <cstring>
#include <fcntl.h>
#include <string>

using namespace morvask;

namespace {

bool skip_unsupported(benchmark::State& state, const kernel& k)
{
    if (k.supported())
        return false;
    state.SkipWithError("this CPU does not support the kernel");
    return true;
}

void through_memory_files(benchmark::State& state, const kernel* k)
{
    if (skip_unsupported(state, *k))
        return;
    constexpr std::size_t size = 64 << 20;
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

void over_one_buffer(benchmark::State& state, const kernel* k)
{
    if (skip_unsupported(state, *k))
        return;
    const std::string input = test::random_bytes(stream_buffer_size);
    test::streams s(::open("/dev/null", O_RDONLY), ::open("/dev/null", O_WRONLY));
    std::memcpy(s.source->buffer, input.data(), input.size());
    for (auto _ : state) {
        // The buffer as a read left it, and the last: the loop ends once it is drained.
        s.source->begin = 0;
        s.source->end = stream_buffer_size;
        s.source->eof = true;
        s.transcode(encode_table, k->transcode);
        if (!flush(*s.destination)) {
            state.SkipWithError("writing to /dev/null failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream_buffer_size));
}

} // namespace

int main(int argc, char** argv)
{
    struct {
        const char* name;
        void (*run)(benchmark::State&, const kernel*);
    } const settings[] = {{"memory-files", through_memory_files}, {"one-buffer", over_one_buffer}};
    for (const auto& [setting, run] : settings)
        for (const kernel& k : kernels())
            benchmark::RegisterBenchmark(
                (std::string("transcode/") + setting + "/" + k.name).c_str(), run, &k)
                ->Unit(benchmark::kMicrosecond)
                // A shared machine is noisy: the median of several runs is the figure to compare.
                ->Repetitions(5)
                ->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
