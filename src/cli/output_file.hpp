#pragma once

#include "codec/fd_stream.hpp"

#include <sys/stat.h>

// The destination's life: opened without losing anything, and on failure left with no partial
// output.

namespace morvask {

struct output_file {
    const char* path;
    int fd;
    bool created; // by this run, so a failed run removes it
    bool regular; // only a regular file is ever emptied or removed
};

enum class open_result { opened, failed, same_file };

// Opens path for writing, creating it with modes derived from source's, and refuses when it is
// the source itself. It is emptied only after that check, so the source is never lost.
open_result open_output(output_file& out, const char* path, const struct stat& source);

// Writes what the stream still holds and closes the file; on any failure it discards the
// output and returns false.
bool finish_output(output_file& out, destination_stream& stream);

// Discards the output and closes the file.
void abandon_output(output_file& out);

} // namespace morvask
