#include "codec/kernels/kernels.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace morvask;

namespace morvask {
// Names the kernel in test listings, in place of its bytes.
static void PrintTo(const kernel& k, std::ostream* out)
{
    *out << k.name;
}
} // namespace morvask

namespace {

const kernel& scalar = kernels().back();

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

class Kernel : public testing::TestWithParam<kernel> {
  protected:
    void SetUp() override
    {
        if (!GetParam().supported())
            GTEST_SKIP() << "this CPU does not support " << GetParam().name;
    }
};

} // namespace

TEST(Kernels, ScalarRunsEverywhereAndComesLast)
{
    EXPECT_STREQ(scalar.name, "scalar");
    EXPECT_TRUE(scalar.supported());
}

TEST(Kernels, ScalarLooksUpEveryByteThroughTheTable)
{
    const substitution_table table = random_table(7);
    const std::string input = test::random_bytes(4096, 8);
    EXPECT_EQ(test::transcode(table, input, scalar.transcode), test::substitute(table, input));
}

// Every length up to twice the widest look-up, so that the last look-up of each kernel ends at
// every offset of its width; lengths around the streams' buffer, where refills and flushes fall;
// and destinations that already hold some bytes, so that its edges fall inside a look-up. A run
// that fits in the buffer must leave it as it was past the bytes it wrote.
TEST_P(Kernel, LooksUpEveryByteAtEveryLength)
{
    constexpr std::size_t buffer = stream_buffer_size;
    // The source's size, and the bytes the destination holds before the run.
    std::vector<std::pair<std::size_t, std::size_t>> runs = {{buffer - 1, 0},
                                                             {buffer, 0},
                                                             {buffer + 1, 0},
                                                             {3 * buffer + 5, 0},
                                                             {(8 << 20) + 3, 0},
                                                             {3 * buffer + 5, 1},
                                                             {buffer, widest_lookup - 1}};
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

INSTANTIATE_TEST_SUITE_P(Each, Kernel, testing::ValuesIn(kernels().begin(), kernels().end()),
                         [](const testing::TestParamInfo<kernel>& param) {
                             return std::string(param.param.name);
                         });
