#include "cli/caller_descriptors.hpp"
#include "cli/messages.hpp"
#include "cli/output_file.hpp"
#include "cli/progress.hpp"
#include "cli/standard_output.hpp"
#include "cli/stop_signals.hpp"
#include "codec/transcode.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

using namespace morvask;

namespace {

enum exit_status { exit_ok = 0, exit_failure = 1, exit_usage = 2 };

struct mode {
    const char* option;
    const char* work; // the words that begin the run's line
    const substitution_table& table;
};

constexpr mode modes[] = {
    {"-e", messages::encoding, encode_table},
    {"-E", messages::encoding, encode_table},
    {"-d", messages::decoding, decode_table},
    {"-D", messages::decoding, decode_table},
};

const mode* find_mode(const char* option)
{
    for (const mode& m : modes)
        if (std::strcmp(option, m.option) == 0)
            return &m;
    return nullptr;
}

bool is_help(const char* option)
{
    return std::strcmp(option, "-h") == 0 || std::strcmp(option, "--help") == 0;
}

// Set when the destination is standard output, which then carries the data and nothing else; the
// exit status still tells success from failure.
bool quiet = false;

// Standard output carries either messages or the data, never both.
template <typename... Paths>
void say(void (*message)(Paths...), std::type_identity_t<Paths>... paths)
{
    if (!quiet)
        message(paths...);
}

template <typename... Paths>
int fail(int status, void (*message)(Paths...), std::type_identity_t<Paths>... paths)
{
    say(message, paths...);
    return status;
}

// Whether any of the arguments names standard output's file, which then carries no word; a
// terminal carries words as well as data.
bool names_standard_output(int argc, char* argv[])
{
    if (::isatty(STDOUT_FILENO) == 1)
        return false;
    for (int i = 1; i < argc; ++i)
        if (reaches_standard_output(argv[i]))
            return true;
    return false;
}

// Words the user asked for, which must have reached standard output.
int said(void (*message)())
{
    message();
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? exit_ok : exit_failure;
}

// A descriptor the path names is read through, from where the caller left it: opening it again
// would start at offset 0, or fail for a socket.
int open_source(const char* path)
{
    const int descriptor = caller_descriptor(path, O_RDONLY);
    // Above the standard descriptors: one the caller closed must not take the source, and give
    // the messages to it.
    return descriptor >= 0    ? ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)
           : descriptor == -1 ? ::open(path, O_RDONLY | O_CLOEXEC)
                              : -1;
}

// Static: the streams' buffers are large and must not come from the stack or the heap.
source_stream source;
output_file output;

// In the handler of a signal that ends the run: async-signal-safe calls only.
void before_stopping()
{
    discard_unfinished_output();
    // The shell's prompt then starts on a line of its own, not after the run's first words.
    if (progress_line_open()) {
        [[maybe_unused]] const ssize_t ended = ::write(STDOUT_FILENO, "\n", 1);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    prepare_signals(before_stopping);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return said(messages::version);
    if (argc == 2 && is_help(argv[1]))
        return said(messages::help);
    if (argc != 4) {
        if (!names_standard_output(argc, argv))
            messages::usage();
        return exit_usage;
    }
    const char* const source_path = argv[2];
    const char* const destination_path = argv[3];
    // Before anything else, so that no word of any message ever lands among the data.
    quiet = reaches_standard_output(destination_path);
    // Before the source takes a number that the caller left free.
    const int descriptor = caller_descriptor(destination_path, O_WRONLY);
    // Before any file is opened, so that a mistyped option never empties a destination.
    const mode* const selected = find_mode(argv[1]);
    if (selected == nullptr)
        return fail(exit_usage, messages::unknown_option, argv[1]);

    source.fd = open_source(source_path);
    if (source.fd < 0)
        return fail(exit_failure, messages::not_found, source_path);
    struct stat source_stat;
    if (::fstat(source.fd, &source_stat) != 0 || S_ISDIR(source_stat.st_mode))
        return fail(exit_failure, messages::cant_read, source_path);

    switch (open_output(output, destination_path, descriptor, source.fd, source_stat)) {
    case open_result::opened:
        break;
    case open_result::failed:
        return fail(exit_failure, messages::cant_open, destination_path);
    case open_result::same_file:
        return fail(exit_failure, messages::same_file, source_path, destination_path);
    }

    quiet = quiet || shares_file_with(STDOUT_FILENO, output.stream.fd);
    say(messages::starting, selected->work);
    if (!quiet)
        show_progress(source, source_stat, selected->work);
    transcode_stream(selected->table, source, output.stream);
    end_progress();
    ::close(source.fd);
    if (source.error) {
        abandon_output(output);
        return fail(exit_failure, messages::cant_read, source_path);
    }
    if (!finish_output(output))
        return fail(exit_failure, messages::cant_write, destination_path);
    say(messages::ok);
    return exit_ok;
}
