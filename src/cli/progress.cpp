#include "cli/progress.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <linux/fs.h>
#include <span>
#include <sys/ioctl.h>
#include <unistd.h>

namespace morvask {

namespace {

constexpr std::int64_t second = 1'000'000'000; // in the nanoseconds that now() counts
// A run over within a second shows nothing more; a longer one no more often than this, which keeps
// the cost of printing out of sight, and the figures still readable.
constexpr std::int64_t first_update_after = second;
constexpr std::int64_t update_interval = second / 4;

std::atomic<bool> line_open;
static_assert(std::atomic<bool>::is_always_lock_free, "read by a signal handler");

// Set by show_progress for the run's one source.
const char* first_words;
std::size_t first_words_width;
std::uint64_t source_size; // 0 when the source does not tell it
std::int64_t started;
std::int64_t next_update;
bool shown;

// The monotonic clock, read through the vDSO without a system call.
std::int64_t now()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * second + t.tv_nsec;
}

// A regular file's size or a block device's; 0 for what tells none (a pipe, a character device).
std::uint64_t size_of(int fd, const struct stat& st)
{
    std::uint64_t size = 0;
    if (S_ISREG(st.st_mode))
        size = static_cast<std::uint64_t>(st.st_size);
    else if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &size) != 0)
        size = 0;
    return size;
}

// Three figures in binary units, as pv and dd status=progress show them (512 B, 1.50 GiB), between
// before and after. By hand: neither the C library nor the C++ one has binary units.
void put_bytes(char* out, std::size_t room, const char* before, std::uint64_t bytes,
               const char* after)
{
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    auto value = static_cast<double>(bytes);
    std::size_t unit = 0;
    for (; value >= 1024 && unit + 1 < std::size(units); ++unit)
        value /= 1024;
    const int decimals = unit == 0 || value >= 100 ? 0 : value >= 10 ? 1 : 2;
    std::snprintf(out, room, "%s%.*f %s%s", before, decimals, value, units[unit], after);
}

// The terminal's width, or 80 columns where it does not tell.
std::size_t columns()
{
    winsize size{};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// Rewrites the line as the first words and as many of the figures, in order, as fit. Where not
// even the first fits, the words alone, which take back what a shorter figure showed before; and
// where nothing was shown, or not even the words fit, nothing: a line that wraps cannot be
// rewritten, since the carriage return goes back only to the start of its last row. False where
// no figure was shown.
bool rewrite_line(std::span<const char* const> figures)
{
    // The last column stays free: some terminals wrap as soon as it is written, and the carriage
    // return would then go back to the start of the wrong line.
    const std::size_t room = columns() - 1;
    std::size_t width = first_words_width;
    if (!figures.empty() && width + std::strlen(figures.front()) > room) {
        if (!shown || width > room)
            return false;
        figures = {};
    }
    std::fputs("\r", stdout);
    std::fputs(first_words, stdout);
    for (const char* figure : figures) {
        width += std::strlen(figure);
        if (width > room)
            break;
        std::fputs(figure, stdout);
    }
    std::fputs("\033[K", stdout);
    std::fflush(stdout);
    return !figures.empty();
}

// The figures, most telling first.
void show(std::uint64_t done, std::int64_t elapsed)
{
    const double rate = static_cast<double>(done) * second / static_cast<double>(elapsed);
    char bytes_done[24];
    char of_size[40] = "";
    char per_second[24];
    char time_left[40] = "";
    put_bytes(bytes_done, sizeof bytes_done, " ", done, "");
    // A source that outgrew its size (a file still being written) has none worth showing.
    if (source_size > 0 && done <= source_size) {
        const double done_share = static_cast<double>(done) / static_cast<double>(source_size);
        put_bytes(of_size, sizeof of_size, " of ", source_size, "");
        const std::size_t end = std::strlen(of_size);
        std::snprintf(of_size + end, sizeof of_size - end, " (%u%%)",
                      static_cast<unsigned>(done_share * 100));
        const double left = static_cast<double>(source_size - done) / rate;
        // An estimate of days, a stalled run's, says nothing.
        if (left < 100 * 3600) {
            const auto seconds = static_cast<unsigned>(left + 0.5);
            std::snprintf(time_left, sizeof time_left, ", %u:%02u:%02u left", seconds / 3600,
                          seconds / 60 % 60, seconds % 60);
        }
    }
    put_bytes(per_second, sizeof per_second, ", ", static_cast<std::uint64_t>(rate), "/s");
    const char* const figures[] = {bytes_done, of_size, per_second, time_left};
    shown = rewrite_line(figures) || shown;
}

void update(std::uint64_t done)
{
    const std::int64_t at = now();
    if (at < next_update)
        return;
    next_update = at + update_interval;
    show(done, at - started);
}

} // namespace

void show_progress(source_stream& source, const struct stat& source_stat, const char* text)
{
    if (::isatty(STDOUT_FILENO) == 0)
        return;
    std::fflush(stdout);
    line_open = true;
    // A terminal that may not know a carriage return from a line feed, or the erasing sequence,
    // gets the words alone.
    const char* const term = std::getenv("TERM");
    if (term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0)
        return;
    first_words = text;
    first_words_width = std::strlen(text);
    source_size = size_of(source.fd, source_stat);
    started = now();
    next_update = started + first_update_after;
    source.on_refill = update;
}

void end_progress()
{
    if (shown)
        rewrite_line({});
}

bool progress_line_open()
{
    return line_open.load();
}

} // namespace morvask
