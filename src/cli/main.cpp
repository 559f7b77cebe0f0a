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
#include <unistd.h>

using namespace morvask;

namespace {

enum exit_status { exit_ok = 0, exit_failure = 1, exit_usage = 2 };

struct direction {
    const char* option;
    const char* words; // that begin the run's line
    const substitution_table& table;
};

constexpr direction directions[] = {
    {"-e", "Encode...", encode_table},
    {"-E", "Encode...", encode_table},
    {"-d", "Decode...", decode_table},
    {"-D", "Decode...", decode_table},
};

const direction* find_direction(const char* option)
{
    for (const direction& d : directions)
        if (std::strcmp(option, d.option) == 0)
            return &d;
    return nullptr;
}

bool is_help(const char* option)
{
    return std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0;
}

// Set where the destination is what standard output writes to, which then carries the data and
// nothing else; the exit status still tells success from failure.
bool quiet = false;

// Paths and options are passed as %s arguments, never as formats, so a per-cent sign in them is
// printed as it stands. At a terminal, progress.cpp adds figures to the line that the run's first
// words began, and takes them back before the last ones.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...)
{
    std::va_list words;
    va_start(words, format);
    if (!quiet)
        std::vprintf(format, words);
    va_end(words);
}

// Whether any argument leads to what standard output writes to, where a word would land among the
// data; a terminal shows the words apart from any data sent to it.
bool any_reaches_standard_output(int argc, char* argv[])
{
    if (::isatty(STDOUT_FILENO) == 1)
        return false;
    for (int i = 1; i < argc; ++i)
        if (reaches_standard_output(argv[i], caller_descriptor(argv[i], O_WRONLY)))
            return true;
    return false;
}

// The status of words the user asked for, which must have reached standard output.
int status_of_printing(void (*message)())
{
    message();
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? exit_ok : exit_failure;
}

// A descriptor the path names is read through, from where the caller left it: opening it again
// would start at offset 0, or fail for a socket.
int open_source(const char* path)
{
    const int descriptor = caller_descriptor(path, O_RDONLY);
    return descriptor >= 0    ? ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0)
           : descriptor == -1 ? ::open(path, O_RDONLY | O_CLOEXEC)
                              : -1;
}

// Static: the streams' buffers are large and must not come from the stack or the heap.
source_stream source;
output_file output;

// In the handler of a signal that ends the run: async-signal-safe calls only.
void before_ending()
{
    discard_output(output);
    // The shell's prompt then starts on a line of its own, not after the run's first words.
    if (progress_line_open()) {
        [[maybe_unused]] const ssize_t ended = ::write(STDOUT_FILENO, "\n", 1);
    }
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
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return status_of_printing(messages::version);
    if (argc == 2 && is_help(argv[1]))
        return status_of_printing(messages::help);
    if (argc != 4) {
        if (!any_reaches_standard_output(argc, argv))
            messages::usage();
        return exit_usage;
    }
    const char* const source_path = argv[2];
    const char* const destination_path = argv[3];
    // Before the source takes a number the caller left free, and before any word is printed.
    const int descriptor = caller_descriptor(destination_path, O_WRONLY);
    quiet = reaches_standard_output(destination_path, descriptor);
    // Before any file is opened, so that a mistyped option never touches a destination.
    const direction* const selected = find_direction(argv[1]);
    if (selected == nullptr) {
        say("unknown option '%s'\n", argv[1]);
        return exit_usage;
    }

    source.fd = open_source(source_path);
    if (source.fd < 0) {
        say("%s file not found.\n", source_path);
        return exit_failure;
    }
    struct stat source_stat;
    if (::fstat(source.fd, &source_stat) != 0 || S_ISDIR(source_stat.st_mode)) {
        say("Can't read %s file.\n", source_path);
        return exit_failure;
    }

    switch (open_output(output, destination_path, descriptor, source.fd, source_stat)) {
    case open_result::opened:
        break;
    case open_result::failed:
        say("Can't open %s file.\n", destination_path);
        return exit_failure;
    case open_result::same_file:
        say("%s and %s are the same file.\n", source_path, destination_path);
        return exit_failure;
    }

    struct stat destination_stat;
    quiet = quiet || ::fstat(destination_fd(output), &destination_stat) != 0 ||
            writes_to(STDOUT_FILENO, destination_fd(output), destination_stat);
    say("%s", selected->words);
    if (!quiet)
        show_progress(source, source_stat, selected->words);
    transcode_stream(selected->table, source, output.stream);
    end_progress();
    ::close(source.fd);
    if (source.error) {
        abandon_output(output);
        say("Can't read %s file.\n", source_path);
        return exit_failure;
    }
    if (!finish_output(output)) {
        say("Can't write %s file.\n", destination_path);
        return exit_failure;
    }
    say("OK.\n");
    return exit_ok;
}
