// Every kernel this CPU supports must give the scalar kernel's bytes, for any table and any
// input: through the whole loop, and chunk by chunk at every length the input ends on.

#include "codec/kernels/kernels.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace morvask;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first 256 bytes, when there are as many, are the table: any 256 bytes will do.
    substitution_table table = encode_table;
    if (size >= table.size()) {
        std::copy(data, data + table.size(), table.begin());
        data += table.size();
        size -= table.size();
    }
    const std::string input(reinterpret_cast<const char*>(data), size);

    const kernel& scalar = kernels().back();
    const std::optional<std::string> expected = test::transcode(table, input, scalar.transcode);
    if (expected != test::substitute(table, input))
        std::abort();

    for (const kernel& k : kernels()) {
        if (&k == &scalar || !k.supported())
            continue;
        if (test::transcode(table, input, k.transcode) != expected)
            std::abort();
        for (std::size_t at = 0; at < size; at += 16) {
            const std::size_t count = std::min<std::size_t>(16, size - at);
            unsigned char got[16];
            unsigned char want[16];
            k.lookup(table, data + at, got, count);
            scalar.lookup(table, data + at, want, count);
            if (!std::equal(got, got + count, want))
                std::abort();
        }
    }
    return 0;
}
