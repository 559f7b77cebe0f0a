// Every kernel this CPU supports must give the scalar kernel's bytes through transcode, for any
// table, any input, and a destination whose buffer is nearly full, so that even a short input
// crosses a flush anywhere in a look-up; and must leave that buffer as the scalar kernel does.

#include "codec/kernels/kernels.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace morvask;

// libFuzzer calls it, but declares it in no header we could include.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first 256 bytes, when there are as many, are the table: any 256 bytes will do. The next
    // byte, if any, leaves the destination from 256 bytes of room down to 1 before a flush.
    substitution_table table = encode_table;
    if (size >= table.size()) {
        std::copy(data, data + table.size(), table.begin());
        data += table.size();
        size -= table.size();
    }
    std::size_t already_written = 0;
    if (size > 0) {
        already_written = stream_buffer_size - 256 + *data++;
        --size;
    }
    const std::string input(reinterpret_cast<const char*>(data), size);

    const kernel& scalar = kernels().back();
    const test::traced_run expected =
        test::transcode_traced(table, input, scalar.transcode, already_written);
    if (expected.output != std::string(already_written, '\xa5') + test::substitute(table, input))
        std::abort();

    for (const kernel& k : kernels()) {
        if (&k == &scalar || !k.supported())
            continue;
        const test::traced_run got =
            test::transcode_traced(table, input, k.transcode, already_written);
        if (got.output != expected.output || got.buffer != expected.buffer)
            std::abort();
    }
    return 0;
}
