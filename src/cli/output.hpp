#pragma once

#include "cli/old_file.hpp"
#include "codec/fd_stream.hpp"

// The destination's life: a failure, or a signal that ends the run, leaves no partial output and
// touches nothing that is not the run's.

namespace morvask {

struct output_file {
    destination_stream stream; // the new file, or the destination written directly
    new_file stage;            // on the roads that have one
    road commit;
    int old;              // the existing file, to copy into or write, or to let its pages go; or -1
    file_identity old_id; // which its name must still lead to when it is replaced
    off_t reserved;       // bytes of blocks allocated ahead
};

enum class open_result { opened, failed, same_file };

// Opens path, or the caller's descriptor that it names (descriptor >= 0), and refuses the source.
open_result open_output(output_file& out, const char* path, int descriptor, int source_fd,
                        const struct stat& source);

// Puts the complete new contents in the destination's place; on any failure, discards them.
bool finish_output(output_file& out);
void abandon_output(output_file& out);
// Async-signal-safe, for the handler of a signal that ends the run.
void discard_output(const output_file& out);

} // namespace morvask
