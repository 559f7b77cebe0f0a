#pragma once

#include "codec/fd_stream.hpp"

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

// How far a long run is, at a terminal, on the line that the run's first words began, a few times a
// second after its first; taken back before its last words, so that the line ends as without it.

namespace morvask {

// Once the first words, text, are printed, before the source is read.
void show_progress(source_stream& source, const struct stat& source_stat, const char* text);
void end_progress();

// Whether the run began a line at a terminal, for a signal's handler to end. Async-signal-safe.
bool progress_line_open();

// The line after seconds of a run that has read done bytes of size (0: untold), at a terminal of
// columns: the first words, then as many figures as fit before the last column (the bytes done; of
// the size, with the share; the rate; the time left). Returns how many fit.
inline constexpr std::size_t progress_line_size = 160;
std::size_t progress_line(char (&line)[progress_line_size], const char* words, std::uint64_t done,
                          std::uint64_t size, double seconds, std::size_t columns);

} // namespace morvask
