#pragma once

#include "codec/fd_stream.hpp"

#include <cstddef>
#include <cstdint>
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

// The text of the line after a run of seconds that has read done bytes of size (0: none told), for
// a terminal of columns: its first words, then as many of these figures, in order, as fit before
// the last column: the bytes done; of the size, with the share done; the rate; the time left.
// Into line; returns how many figures fit.
inline constexpr std::size_t progress_line_size = 160;
std::size_t progress_line(char (&line)[progress_line_size], const char* words, std::uint64_t done,
                          std::uint64_t size, double seconds, std::size_t columns);

} // namespace morvask
