#pragma once

#include "codec/fd_stream.hpp"

#include <sys/stat.h>

// How far a long run is, on the line that the run's first words began, while standard output is a
// terminal; anywhere else, nothing. The line ends as it would without it: the progress is erased
// before the run's last words.

namespace morvask {

// Once the run's first words, text, are printed and before the source is read. At a terminal the
// words are shown at once; where the terminal can also move back along its line, a run longer than
// a second goes on to show the bytes done, against the source's size when it has one, the rate and
// the time left, a few times a second.
void show_progress(source_stream& source, const struct stat& source_stat, const char* text);

// Takes back what show_progress added to the line, leaving the first words for the last ones.
void end_progress();

// Whether the run began a line at a terminal. Safe in a signal handler, which ends that line so
// that the shell's prompt starts on a fresh one; otherwise the last words end it, as the run ends.
bool progress_line_open();

} // namespace morvask
