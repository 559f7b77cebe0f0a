#include "codec/kernels/kernels.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>
#if defined(__x86_64__) && defined(__LP64__)
#include <cpuid.h>
#endif

using namespace morvask;

namespace morvask {
// Names the kernel in test listings, in place of its bytes.
static void PrintTo(const kernel& k, std::ostream* out)
{
    *out << k.name;
}
} // namespace morvask

namespace {

// Any 256 bytes, not only permutations: a kernel must not depend on the table's shape.
substitution_table random_table(unsigned seed)
{
    const std::string bytes = test::random_bytes(256, seed);
    substitution_table table;
    std::copy(bytes.begin(), bytes.end(), table.begin());
    return table;
}

// Where got first differs from expected: the offset, not the megabytes around it.
std::optional<std::size_t> first_difference(const std::string& got, const std::string& expected)
{
    const auto differ = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    if (differ.first == got.end() && differ.second == expected.end())
        return std::nullopt;
    return static_cast<std::size_t>(differ.first - got.begin());
}

// The kernels this build must have, fastest first, each with why this machine cannot run it, if
// it cannot: read from the CPU here, not through the checks under test, so that a wrong check, or
// a kernel left out or added out of order, fails instead of passing as a skip.
struct expected_kernel {
    std::string name;
    std::string missing;
};

std::vector<expected_kernel> expected_kernels()
{
#if defined(__x86_64__) && defined(__LP64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    unsigned saved = 0; // the registers that the OS saves: XCR0's low half holds them all
    if (__get_cpuid_count(1, 0, &a, &b, &c, &d) && (c & bit_OSXSAVE) != 0)
        __asm__("xgetbv" : "=a"(saved), "=d"(d) : "c"(0)); // _xgetbv would need -mxsave here
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        b = c = 0;
    const auto why_not = [&](bool has, unsigned registers) -> std::string {
        return !has                               ? "this CPU lacks its instructions (CPUID)"
               : (saved & registers) != registers ? "the OS does not save its registers (XGETBV)"
                                                  : "";
    };
    return {{"avx512vbmi", why_not((b & bit_AVX512BW) && (c & bit_AVX512VBMI), 0xe6)},
            {"avx2", why_not(b & bit_AVX2, 0x06)},
            {"scalar", ""}};
#elif defined(__aarch64__)
    return {{"neon", ""}, {"scalar", ""}};
#else
    return {{"scalar", ""}};
#endif
}

class Kernel : public testing::TestWithParam<kernel> {
  protected:
    void SetUp() override
    {
        std::string missing = "no such kernel is expected here";
        for (const expected_kernel& e : expected_kernels())
            if (e.name == GetParam().name)
                missing = e.missing;
        if (!missing.empty())
            GTEST_SKIP() << missing;
    }
};

} // namespace

// Every kernel this machine can run is built, fastest first, runs, and the fastest is chosen.
TEST(Kernels, EveryKernelTheCpuHasRunsAndTheFastestIsChosen)
{
    std::vector<std::string> built, wanted;
    for (const kernel& k : kernels())
        built.push_back(std::string(k.name) + (k.supported() ? "" : " (not here)"));
    std::string fastest;
    for (const expected_kernel& e : expected_kernels()) {
        wanted.push_back(e.name + (e.missing.empty() ? "" : " (not here)"));
        if (fastest.empty() && e.missing.empty())
            fastest = e.name;
    }
    EXPECT_EQ(built, wanted);
    EXPECT_EQ(fastest_kernel().name, fastest);
}

// Every length up to twice the widest look-up, so that the last look-up of each kernel ends at
// every offset of its width; lengths around the streams' buffer, where refills and flushes fall;
// and destinations that already hold some bytes, so that its edges fall inside a look-up. A run
// that fits in the buffer must leave it as it was past the bytes it wrote.
TEST_P(Kernel, LooksUpEveryByteAtEveryLength)
{
    constexpr std::size_t buffer = stream_buffer_size;
    // The source's size, and the bytes the destination holds before the run.
    // clang-format off
    std::vector<std::pair<std::size_t, std::size_t>> runs = {
        {buffer - 1, 0}, {buffer, 0}, {buffer + 1, 0}, {3 * buffer + 5, 0}, {(8 << 20) + 3, 0},
        {3 * buffer + 5, 1}, {buffer, widest_lookup - 1}};
    // clang-format on
    for (std::size_t size = 0; size <= 2 * widest_lookup + 1; ++size)
        runs.emplace_back(size, 0);

    for (const auto& [size, already_written] : runs) {
        SCOPED_TRACE(testing::Message() << size << " bytes after " << already_written);
        const auto seed = static_cast<unsigned>(size + already_written);
        const substitution_table table = random_table(seed);
        const std::string input = test::random_bytes(size, seed + 1);
        const test::traced_run got =
            test::transcode_traced(table, input, GetParam().transcode, already_written);
        ASSERT_TRUE(got.output);
        EXPECT_EQ(first_difference(*got.output, std::string(already_written, '\xa5') +
                                                    test::substitute(table, input)),
                  std::nullopt);
        if (already_written + size < buffer) {
            EXPECT_EQ(got.buffer.find_first_not_of('\xa5', already_written + size),
                      std::string::npos);
        }
    }
}

// A pipe delivers whatever the writer has put in so far: reads end anywhere in a look-up, and so
// does the room left before each flush.
TEST_P(Kernel, LooksUpAPipeFedInOddPieces)
{
    const substitution_table table = random_table(1);
    const std::string input = test::random_bytes(2 * stream_buffer_size + 3, 2);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    std::thread writer = test::feed_in_pieces(pipe_fds[1], input, 7);
    test::streams s(pipe_fds[0], test::memory_file(""));
    s.transcode(table, GetParam().transcode);
    writer.join();
    ASSERT_TRUE(flush(*s.destination));
    EXPECT_EQ(first_difference(test::contents(s.destination->fd), test::substitute(table, input)),
              std::nullopt);
}

// The source pauses after whole buffers, so the destination fills just as the source runs dry: it
// must reach its reader before the loop waits on the source, not once the source goes on.
TEST_P(Kernel, FullDestinationReachesItsReaderBeforeTheSourceIsWaitedOn)
{
    const std::string input = test::random_bytes(2 * stream_buffer_size);
    int in[2];
    int out[2];
    ASSERT_TRUE(::pipe(in) == 0 && ::pipe(out) == 0);
    std::atomic<std::size_t> seen = 0;
    std::thread reader([&] {
        char chunk[4096];
        for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
            seen += static_cast<std::size_t>(n);
        ::close(out[0]);
    });
    std::size_t seen_in_pause = 0;
    std::thread writer([&] {
        EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        // Bounded, so that a loop that waits first fails the test instead of hanging it.
        for (int ms = 0; ms < 5000 && seen < input.size(); ++ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seen_in_pause = seen;
        ::close(in[1]);
    });
    {
        test::streams s(in[0], out[1]);
        s.transcode(encode_table, GetParam().transcode);
        EXPECT_TRUE(flush(*s.destination));
    }
    writer.join();
    reader.join();
    EXPECT_EQ(seen_in_pause, input.size());
}

INSTANTIATE_TEST_SUITE_P(Each, Kernel, testing::ValuesIn(kernels().begin(), kernels().end()),
                         [](const testing::TestParamInfo<kernel>& param) {
                             return std::string(param.param.name);
                         });
