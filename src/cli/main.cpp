#include "cli/caller_descriptors.hpp"
#include "cli/ending_signals.hpp"
#include "cli/messages.hpp"
#include "cli/output.hpp"
#include "cli/progress.hpp"
#include "cli/standard_output.hpp"
#include "codec/transcode.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace morvask;

namespace {

enum exit_status { exit_ok = 0, exit_failure = 1, exit_usage = 2 };

// Where standard output carries the data, and nothing else: the status still tells.
bool quiet = false;

// Prints the words and returns status; paths are %s arguments, never formats.
[[gnu::format(printf, 2, 3)]] int say(int status, const char* format, ...)
{
    std::va_list words;
    va_start(words, format);
    if (!quiet)
        std::vprintf(format, words);
    va_end(words);
    return status;
}

// Static: the streams' buffers are large and must not come from the stack or the heap.
source_stream source;
output_file output;

// In the handler of a signal that ends the run: async-signal-safe calls only.
void before_ending()
{
    discard_output(output);
    // The shell's prompt then starts on a line of its own, not after the run's first words.
    if (progress_line_open())
        std::ignore = ::write(STDOUT_FILENO, "\n", 1);
}

} // namespace

int main(int argc, char* argv[])
{
    // A standard descriptor the caller closed is held by one that reads and writes nothing, so that
    // no file this run opens takes its number, and the words meant for it.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0)
            ::open("/", O_PATH);
    prepare_signals(before_ending);
    const bool help =
        argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
    if (help || (argc == 2 && std::strcmp(argv[1], "--version") == 0)) {
        (help ? messages::help : messages::version)();
        // Words the user asked for, which must have reached standard output.
        return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? exit_ok : exit_failure;
    }
    // No word lands in the file of any argument: the source is never changed. Words on a terminal
    // change no file, but a destination there would show them among its data. Asked before the
    // source takes a number the caller left free.
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    int descriptor = -1; // the last argument's, the destination's where there are three
    for (int i = 1; i < argc; ++i) {
        descriptor = caller_descriptor(argv[i], O_WRONLY);
        quiet = quiet || ((!terminal || (argc == 4 && i == 3)) &&
                          reaches_standard_output(argv[i], descriptor));
    }
    if (argc != 4) {
        if (!quiet)
            messages::usage();
        return exit_usage;
    }
    const char* const source_path = argv[2];
    const char* const destination_path = argv[3];
    // Before any file is opened, so that a mistyped option never touches a destination.
    const bool encode = std::strcmp(argv[1], "-e") == 0 || std::strcmp(argv[1], "-E") == 0;
    if (!encode && std::strcmp(argv[1], "-d") != 0 && std::strcmp(argv[1], "-D") != 0)
        return say(exit_usage, "unknown option '%s'\n", argv[1]);
    const char* const words = encode ? "Encode..." : "Decode...";

    // A descriptor the path names is read from where the caller left it.
    const int named = caller_descriptor(source_path, O_RDONLY);
    source.fd = named >= 0    ? ::fcntl(named, F_DUPFD_CLOEXEC, 0)
                : named == -1 ? ::open(source_path, O_RDONLY | O_CLOEXEC)
                              : -1;
    if (source.fd < 0)
        return say(exit_failure, "%s file not found.\n", source_path);
    struct stat source_stat;
    if (::fstat(source.fd, &source_stat) != 0 || S_ISDIR(source_stat.st_mode))
        return say(exit_failure, "Can't read %s file.\n", source_path);
    const open_result opened =
        open_output(output, destination_path, descriptor, source.fd, source_stat);
    if (opened == open_result::same_file)
        return say(exit_failure, "%s and %s are the same file.\n", source_path, destination_path);
    if (opened == open_result::failed)
        return say(exit_failure, "Can't open %s file.\n", destination_path);

    say(exit_ok, "%s", words);
    if (!quiet)
        show_progress(source, source_stat, words);
    transcode_stream(encode ? encode_table : decode_table, source, output.stream);
    end_progress();
    ::close(source.fd);
    if (source.error) {
        abandon_output(output);
        return say(exit_failure, "Can't read %s file.\n", source_path);
    }
    if (!finish_output(output))
        return say(exit_failure, "Can't write %s file.\n", destination_path);
    return say(exit_ok, "OK.\n");
}
