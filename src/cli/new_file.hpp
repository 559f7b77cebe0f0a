#pragma once

#include "cli/file_identity.hpp"

#include <climits>
#include <sys/stat.h>

// The file a run writes before its output takes the destination's place: made in the destination's
// directory, pinned, so that it ends there whatever the path leads to by then; without a name where
// the file system allows it, so that even SIGKILL leaves nothing, else under a private temporary
// name beside the destination (vfat, FUSE mirrors).

namespace morvask {

struct new_file {
    int directory;                // pinned, or -1
    const char* name;             // the destination's name in it
    int fd;                       // the file, or -1
    file_identity id;             // of the file
    char temporary[NAME_MAX + 1]; // the file's name of its own, or ""
};

// Pins the directory that path names its file in. 0, or the errno.
int pin_directory(new_file& f, const char* path);

// Makes the file, asking for mode, while the caller blocks the signals that end the run, so that
// one discards it from its first moment; st then tells what it is. 0, or the errno.
int create(new_file& f, mode_t mode, struct stat& st);

// Gives the complete file the destination's name, never over a file that took it meanwhile.
bool link_in(new_file& f);

// Swaps the complete file in for the old one, which then goes; but only while the name still leads
// to old: another file put there meanwhile is put back, and this fails.
bool exchange_in(new_file& f, const file_identity& old);

// Copies the complete file's size bytes over the file to, from its start, and cuts it there.
bool copy_over(const new_file& f, int to, off_t size);

// Empties the file through its descriptor, whatever names it was given meanwhile (a rename, a hard
// link), and removes its temporary name while that still leads to it. Async-signal-safe.
void discard(const new_file& f);

} // namespace morvask
