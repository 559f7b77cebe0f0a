#include "cli/messages.hpp"
#include "cli/output_file.hpp"
#include "codec/transcode.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace morvask;

namespace {

enum exit_status { exit_ok = 0, exit_failure = 1, exit_usage = 2 };

struct mode {
    const char* option;
    const char* progress;
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

void say(const char* text)
{
    if (!quiet)
        std::fputs(text, stdout);
}

// A message names one path, or two.
template <typename... Paths> int fail(const char* message, Paths... paths)
{
    if (!quiet)
        std::printf(message, paths...);
    return exit_failure;
}

// Static: the streams' buffers are large and must not come from the stack or the heap.
source_stream source;
destination_stream destination;

} // namespace

int main(int argc, char* argv[])
{
    prepare_signals();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(messages::version, stdout);
        return exit_ok;
    }
    if (argc != 4) {
        std::fputs(messages::usage, stdout);
        return argc == 2 && is_help(argv[1]) ? exit_ok : exit_usage;
    }
    // Before any file is opened, so that a mistyped option never empties a destination.
    const mode* const selected = find_mode(argv[1]);
    if (selected == nullptr) {
        std::printf(messages::unknown_option, argv[1]);
        return exit_usage;
    }
    const char* const source_path = argv[2];
    const char* const destination_path = argv[3];

    source.fd = ::open(source_path, O_RDONLY | O_CLOEXEC);
    if (source.fd < 0)
        return fail(messages::not_found, source_path);
    struct stat source_stat;
    if (::fstat(source.fd, &source_stat) != 0 || S_ISDIR(source_stat.st_mode))
        return fail(messages::cant_read, source_path);

    output_file out;
    const open_result opened = open_output(out, destination_path, source_stat);
    quiet = out.standard_output;
    switch (opened) {
    case open_result::opened:
        break;
    case open_result::failed:
        return fail(messages::cant_open, destination_path);
    case open_result::same_file:
        return fail(messages::same_file, source_path, destination_path);
    }
    destination.fd = out.fd;

    say(selected->progress);
    transcode_stream(selected->table, source, destination);
    ::close(source.fd);
    if (source.error) {
        abandon_output(out);
        return fail(messages::cant_read, source_path);
    }
    if (!finish_output(out, destination))
        return fail(messages::cant_write, destination_path);
    say(messages::ok);
    return exit_ok;
}
