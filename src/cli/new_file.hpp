#pragma once

#include "cli/file_identity.hpp"

#include <climits>
#include <sys/stat.h>

// The file written before it takes the destination's place, in a pinned directory: without a name
// where the file system allows, so that even SIGKILL leaves nothing, else a private temporary one.

namespace morvask {

struct new_file {
    int directory;    // pinned, or -1
    const char* name; // the destination's name in it
    int fd;           // or -1
    file_identity id;
    char temporary[NAME_MAX + 1]; // the file's name of its own, or ""
};

// 0, or the errno. Create blocks the signals that end the run while it makes the file.
int pin_directory(new_file& f, const char* path);
int create(new_file& f, mode_t mode, struct stat& st);

// The complete file takes the destination's name, never over a file that took it meanwhile.
bool link_in(new_file& f);
// The complete file is swapped in for the old one, which then goes; only while the name still leads
// to old: another file put there meanwhile is put back.
bool exchange_in(new_file& f, const file_identity& old);
// Copies the complete file's size bytes over the file to, from its start, and cuts it there.
bool copy_over(const new_file& f, int to, off_t size);

// Empties the file through its descriptor, whatever names it was given meanwhile, and removes its
// temporary name while that leads to it. Async-signal-safe.
void discard(const new_file& f);

} // namespace morvask
