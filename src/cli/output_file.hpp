#pragma once

#include "codec/fd_stream.hpp"

#include <sys/stat.h>

// The destination's life: opened without losing anything, and on failure, or on a signal that
// ends the run, left with no partial output.

namespace morvask {

struct output_file {
    const char* path;
    int fd;
    bool created;         // by this run, so a failed run removes it
    bool regular;         // only a regular file is ever emptied or removed
    bool standard_output; // the file that standard output writes to, which must get only the data
    off_t reserved;       // bytes of blocks allocated ahead, past which any left are released
};

enum class open_result { opened, failed, same_file };

// Once, before any file is opened. Writes that would kill the process with SIGPIPE or SIGXFSZ
// fail instead, as any other failed write; a signal that ends the process while an output is
// unfinished discards that output first. Signals ignored at start stay ignored.
void prepare_signals();

// Opens path for writing, creating it with modes derived from source's, and refuses when it is
// the source itself. It is emptied only after that check, so the source is never lost. From here
// until it is finished or abandoned, a terminating signal discards it.
open_result open_output(output_file& out, const char* path, const struct stat& source);

// Writes what the stream still holds and closes the file; on any failure it discards the
// output and returns false.
bool finish_output(output_file& out, destination_stream& stream);

// Discards the output and closes the file.
void abandon_output(output_file& out);

} // namespace morvask
