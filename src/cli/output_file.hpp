#pragma once

#include "cli/file_identity.hpp"
#include "codec/fd_stream.hpp"

#include <sys/stat.h>

// The destination's life: opened without losing anything, given its name only when complete if
// the run creates it, and on failure, or on a signal that ends the run, left with no partial
// output, while nothing that is not this run's is touched.

namespace morvask {

// What discarding an unfinished output does to it.
enum class on_discard {
    unnamed, // created without a name: emptied, for any name it was given meanwhile through /proc
    remove,  // created by name: emptied, and its name goes while it still leads to the file
    empty,   // an existing regular file: emptied, through the descriptor
    keep,    // a device, a FIFO, or standard output's file, which holds the caller's data too
};

struct output_file {
    destination_stream stream; // its descriptor is the destination's, owned here
    const char* path;
    on_discard fate;
    int directory;         // where this run creates the file, or -1
    const char* name;      // the file's name in that directory
    file_identity created; // what the run opened, which its name may lose while the run writes
    off_t reserved;        // bytes of blocks allocated ahead, past which any left are released
};

enum class open_result { opened, failed, same_file };

// Opens path for writing, and refuses when it is the source itself. A descriptor the caller set
// up for it (descriptor >= 0) is written through, at its offset and with its flags, and never
// emptied; refused fails. A file that does not exist is created without a name,
// with modes derived from the source's, where the file system allows; an existing file is emptied
// only after the check, so the source is never lost. From here until it is finished or abandoned, a
// signal that ends the run discards it.
open_result open_output(output_file& out, const char* path, int descriptor, int source_fd,
                        const struct stat& source);

// Writes what the stream still holds, names a file created without one, and closes the file; on
// any failure it discards the output and returns false.
bool finish_output(output_file& out);

// Discards the output and closes the file.
void abandon_output(output_file& out);

// What a stop signal does to the output that is unfinished, if any, before the run ends: only
// async-signal-safe calls.
void discard_unfinished_output();

} // namespace morvask
