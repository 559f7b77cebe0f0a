#pragma once

#include <cstdio>

// The texts printed when asked for; a run's words are main's, literals the compiler checks.

namespace morvask::messages {

inline void usage()
{
    std::fputs(
        "Encode\nmorvask -e source-file dest-file\nDecode\nmorvask -d source-file dest-file\n",
        stdout);
}
// The usage text as it stands first, since scripts may read it.
inline void help()
{
    usage();
    std::fputs("Also\n"
               "morvask -E source-file dest-file    the same as -e\n"
               "morvask -D source-file dest-file    the same as -d\n"
               "morvask -h|--help                   this text\n"
               "morvask --version                   the version\n"
               "\n"
               "morvask writes dest-file as source-file with every byte replaced through a\n"
               "fixed table of 256 entries, or replaced back. It scrambles; it is not\n"
               "encryption: there is no key, and anyone with morvask can restore the file.\n"
               "An existing dest-file keeps its contents until the new ones are complete.\n"
               "\n"
               "Manual: man morvask\n",
               stdout);
}
inline void version()
{
    std::fputs("morvask " MORVASK_VERSION "\n", stdout);
}
} // namespace morvask::messages
