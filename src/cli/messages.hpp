#pragma once

#include <cstdio>

// Every text the tool prints, all on standard output. Each format is a literal at its printf, so
// the compiler checks it against its arguments; paths and options are passed as %s arguments,
// never as formats, so a per-cent sign in them is printed as it stands. At a terminal, progress.cpp
// adds figures to the line that starting() began, and takes them back before the last words.

namespace morvask::messages {

inline void usage()
{
    std::fputs(
        "Encode\nmorvask -e source-file dest-file\nDecode\nmorvask -d source-file dest-file\n",
        stdout);
}
// -h and --help: the usage text as it stands, since scripts may read it, then the rest of the man
// page's synopsis, what the tool is and is not, and where its page is, installed or not.
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
               "\n"
               "Manual: man morvask, or from the source tree after the release build:\n"
               "man -l build/release/morvask.1.gz\n",
               stdout);
}
inline void version()
{
    std::fputs("morvask " MORVASK_VERSION "\n", stdout);
}
inline void unknown_option(const char* option)
{
    std::printf("unknown option '%s'\n", option);
}
inline void not_found(const char* path)
{
    std::printf("%s file not found.\n", path);
}
inline void cant_open(const char* path)
{
    std::printf("Can't open %s file.\n", path);
}
inline void cant_read(const char* path)
{
    std::printf("Can't read %s file.\n", path);
}
inline void cant_write(const char* path)
{
    std::printf("Can't write %s file.\n", path);
}
inline void same_file(const char* source, const char* destination)
{
    std::printf("%s and %s are the same file.\n", source, destination);
}
inline constexpr char encoding[] = "Encode...";
inline constexpr char decoding[] = "Decode...";
inline void starting(const char* work)
{
    std::fputs(work, stdout);
}
inline void ok()
{
    std::fputs("OK.\n", stdout);
}

} // namespace morvask::messages
