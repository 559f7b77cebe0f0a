#pragma once

#include "cli/new_file.hpp"
#include "cli/road.hpp"
#include "codec/fd_stream.hpp"

#include <cstdint>
#include <sys/stat.h>

// The destination's life. The output goes to a new file beside it first, which takes its name only
// once complete, and so replaces an existing file whole; or, where a new file would not be the file
// the name held, is then copied into it. Written directly only: what is not a regular file, a
// descriptor of the caller's, and a file whose directory lets no new file be made. On failure, or
// on a signal that ends the run, no partial output is left, and nothing that is not the run's is
// touched.

namespace morvask {

struct output_file {
    destination_stream stream; // the new file, or the destination written directly
    new_file stage;            // the new file, where the road has one
    road commit;
    int old;               // an existing destination, open to be copied into or written, or only
                           // to let its cached pages go; or -1
    file_identity old_id;  // as looked at, which the name must still lead to when it is replaced
    off_t reserved;        // bytes of blocks allocated ahead, past which any left are released
    std::uint64_t dropped; // bytes of the old file whose cached pages were let go
};

enum class open_result { opened, failed, same_file };

// Opens path for writing, descriptor being the caller's descriptor it names (written through, at
// its offset and with its flags), refused, or -1; and refuses when it is the source itself, looked
// at before anything is opened for writing. A new destination gets modes derived from the
// source's; a replacement, the old file's owner, group, modes and attributes.
open_result open_output(output_file& out, const char* path, int descriptor, int source_fd,
                        const struct stat& source);

// The descriptor of the destination's own file, to ask what it is.
inline int destination_fd(const output_file& out)
{
    return out.old >= 0 ? out.old : out.stream.fd;
}

// Writes what the stream still holds, closes the file, and puts the new contents in the
// destination's place; on any failure it discards the output and returns false.
bool finish_output(output_file& out);

// Discards the output and closes the files.
void abandon_output(output_file& out);

// What a signal that ends the run does first to an unfinished output: async-signal-safe calls only.
void discard_output(const output_file& out);

} // namespace morvask
