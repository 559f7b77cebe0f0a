#pragma once

#include "cli/file_identity.hpp"
#include "codec/fd_stream.hpp"

#include <climits>
#include <sys/stat.h>

// The destination's life: written as a new file that takes its name only once complete, which
// replaces an existing file whole or not at all, or written in place where a new file would not be
// the file the name held; on failure, or on a signal that ends the run, left with no partial
// output, while nothing that is not this run's is touched.

namespace morvask {

// What discarding an unfinished output does to it.
enum class on_discard {
    empty, // a new file without a name, or a file written in place: emptied, through the descriptor
    remove, // a new file under this run's temporary name: emptied, and the name goes while it leads
            // to the file
    keep,   // a device, a FIFO, the caller's descriptor or a file the caller writes to
};

struct output_file {
    destination_stream stream; // its descriptor is the file this run writes, owned here
    const char* path;
    on_discard fate;
    int directory;    // where the new file takes its name, or -1 for one written in place
    const char* name; // the destination's name in that directory
    char temporary[NAME_MAX + 1]; // the new file's name of its own, if it needs one
    file_identity created;        // the file this run writes
    file_identity replaced;       // an existing file that gives the new one its name at the end, as
                                  // checked at the start; {} for none
    off_t reserved; // bytes of blocks allocated ahead, past which any left are released
};

enum class open_result { opened, failed, same_file };

// Opens path for writing, and refuses when it is the source itself. A descriptor the caller set
// up for it (descriptor >= 0) is written through, at its offset and with its flags, and never
// emptied; refused fails. A new destination is written as a new file with modes derived from the
// source's; an existing regular file is replaced by a new one with its owner, group, modes and
// attributes, and written in place only where that new file could not be what it is. From here
// until it is finished or abandoned, a signal that ends the run discards what this run wrote.
open_result open_output(output_file& out, const char* path, int descriptor, int source_fd,
                        const struct stat& source);

// Writes what the stream still holds, closes the file, and gives a new file the destination's
// name; on any failure it discards the output and returns false.
bool finish_output(output_file& out);

// Discards the output and closes the file.
void abandon_output(output_file& out);

// What a stop signal does to the output that is unfinished, if any, before the run ends: only
// async-signal-safe calls.
void discard_unfinished_output();

} // namespace morvask
