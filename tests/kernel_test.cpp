#include "codec/kernels/kernels.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>

using namespace morvask;

namespace morvask {
// Names the kernel in test listings, in place of its bytes.
void PrintTo(const kernel& k, std::ostream* out)
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

// Every byte value, and random chunks, at every length a read can deliver.
TEST_P(Kernel, LooksUpChunksOfEveryLengthAsScalarDoes)
{
    const kernel& k = GetParam();
    for (unsigned seed = 0; seed < 64; ++seed) {
        const substitution_table table = random_table(seed);
        std::string chunks(256, '\0');
        for (std::size_t i = 0; i < 256; ++i)
            chunks[i] = static_cast<char>(i);
        std::shuffle(chunks.begin(), chunks.end(), std::mt19937(seed));
        chunks += test::random_bytes(256, seed + 1000);

        for (std::size_t at = 0; at < chunks.size(); at += 16) {
            const auto* in = reinterpret_cast<const unsigned char*>(chunks.data() + at);
            for (std::size_t length = 0; length <= 16; ++length) {
                unsigned char expected[17];
                unsigned char got[17];
                std::fill(std::begin(expected), std::end(expected), 0xa5);
                std::fill(std::begin(got), std::end(got), 0xa5);
                scalar.lookup(table, in, expected, length);
                k.lookup(table, in, got, length);
                ASSERT_TRUE(std::equal(std::begin(got), std::end(got), std::begin(expected)))
                    << "table " << seed << ", chunk at " << at << ", length " << length;
            }
        }
    }
}

// Odd sizes leave a short last chunk; the large ones cross the streams' refills and flushes.
TEST_P(Kernel, TranscodesWholeSourcesAsScalarDoes)
{
    const kernel& k = GetParam();
    constexpr std::size_t buffer = stream_buffer_size;
    for (const std::size_t size : std::initializer_list<std::size_t>{
             1, 15, 17, 255, 4097, buffer - 1, buffer + 1, 3 * buffer + 5, (8 << 20) + 3}) {
        SCOPED_TRACE(size);
        const substitution_table table = random_table(static_cast<unsigned>(size));
        const std::string input = test::random_bytes(size, static_cast<unsigned>(size) + 1);
        const std::optional<std::string> expected = test::transcode(table, input, scalar.transcode);
        const std::optional<std::string> got = test::transcode(table, input, k.transcode);
        ASSERT_TRUE(expected && got);
        ASSERT_EQ(got->size(), expected->size());
        // The offset, not the megabytes around it.
        const auto differ = std::mismatch(got->begin(), got->end(), expected->begin()).first;
        EXPECT_TRUE(differ == got->end()) << "first difference at byte " << differ - got->begin();
    }
}

INSTANTIATE_TEST_SUITE_P(Each, Kernel, testing::ValuesIn(kernels().begin(), kernels().end()),
                         [](const testing::TestParamInfo<kernel>& param) {
                             return std::string(param.param.name);
                         });
