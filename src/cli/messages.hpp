#pragma once

// Every text the tool prints, all on standard output. Paths and options are passed as %s
// arguments, never as formats, so a per-cent sign in them is printed as it stands.

namespace morvask::messages {

inline constexpr char usage[] =
    "Encode\nmorvask -e source-file dest-file\nDecode\nmorvask -d source-file dest-file\n";
inline constexpr char version[] = "morvask " MORVASK_VERSION "\n";
inline constexpr char unknown_option[] = "unknown option '%s'\n";
inline constexpr char not_found[] = "%s file not found.\n";
inline constexpr char cant_open[] = "Can't open %s file.\n";
inline constexpr char cant_read[] = "Can't read %s file.\n";
inline constexpr char cant_write[] = "Can't write %s file.\n";
inline constexpr char same_file[] = "%s and %s are the same file.\n";
inline constexpr char encoding[] = "Encode...";
inline constexpr char decoding[] = "Decode...";
inline constexpr char ok[] = "OK.\n";

} // namespace morvask::messages
