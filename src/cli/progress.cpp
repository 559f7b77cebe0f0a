#include "cli/progress.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace morvask {

namespace {

constexpr std::int64_t second = 1'000'000'000; // in the nanoseconds that now() counts
// After the first second; often enough to follow, seldom enough to cost nothing and stay readable.
constexpr std::int64_t update_interval = second / 4;

std::atomic<bool> line_open;
static_assert(std::atomic<bool>::is_always_lock_free, "read by a signal handler");

const char* first_words;
std::uint64_t source_size; // 0 when the source does not tell it
std::int64_t started;
std::int64_t next_update;
bool shown;

// Read through the vDSO, without a system call.
std::int64_t now()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * second + t.tv_nsec;
}

// A count in binary units, as pv and dd status=progress show them (512 B, 1.50 GiB, 150 MiB),
// between before and after. By hand: neither the C library nor the C++ one has binary units.
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

void rewrite_line(const char* line)
{
    std::printf("\r%s\033[K", line);
    std::fflush(stdout);
}

void update(std::uint64_t done)
{
    const std::int64_t at = now();
    if (at < next_update)
        return;
    next_update = at + update_interval;
    winsize size{};
    const std::size_t width =
        ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    char line[progress_line_size];
    const bool fits = progress_line(line, first_words, done, source_size,
                                    static_cast<double>(at - started) / second, width) > 0;
    // Where no figure fits, the words alone take back what was shown, unless they do not fit
    // either: a carriage return goes back only to the start of a wrapped line's last row.
    if (fits || (shown && std::strlen(first_words) < width))
        rewrite_line(line);
    shown = shown || fits;
}

} // namespace

std::size_t progress_line(char (&line)[progress_line_size], const char* words, std::uint64_t done,
                          std::uint64_t size, double seconds, std::size_t columns)
{
    char figures[4][40] = {};
    put_bytes(figures[0], sizeof figures[0], " ", done, "");
    // A source that outgrew its size (a file still being written) has none worth showing.
    const bool sized = size > 0 && done <= size;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    if (sized) {
        put_bytes(figures[1], sizeof figures[1], " of ", size, "");
        const std::size_t end = std::strlen(figures[1]);
        std::snprintf(
            figures[1] + end, sizeof figures[1] - end, " (%u%%)",
            static_cast<unsigned>(static_cast<double>(done) / static_cast<double>(size) * 100));
    }
    if (seconds > 0)
        put_bytes(figures[2], sizeof figures[2], ", ", static_cast<std::uint64_t>(rate), "/s");
    // An estimate of days, a stalled run's, says nothing.
    const double left = sized && rate > 0 ? static_cast<double>(size - done) / rate : -1;
    if (left >= 0 && left < 100 * 3600) {
        const auto whole = static_cast<unsigned>(left + 0.5);
        std::snprintf(figures[3], sizeof figures[3], ", %u:%02u:%02u left", whole / 3600,
                      whole / 60 % 60, whole % 60);
    }
    // The last column stays free: some terminals wrap as soon as it is written.
    std::size_t width = static_cast<std::size_t>(std::snprintf(line, sizeof line, "%s", words));
    std::size_t fitting = 0;
    for (const char* figure : figures) {
        const std::size_t more = std::strlen(figure);
        if (width + more >= columns || width + more >= sizeof line)
            break;
        std::memcpy(line + width, figure, more + 1);
        width += more;
        fitting += more > 0 ? 1 : 0;
    }
    return fitting;
}

void show_progress(source_stream& source, const struct stat& source_stat, const char* text)
{
    if (::isatty(STDOUT_FILENO) == 0)
        return;
    std::fflush(stdout);
    line_open = true;
    // One that may not know the carriage return or the erasing sequence gets the words alone.
    const char* const term = std::getenv("TERM");
    if (term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0)
        return;
    first_words = text;
    // A file's or a block device's size; 0 where none is told.
    source_size =
        S_ISREG(source_stat.st_mode) ? static_cast<std::uint64_t>(source_stat.st_size) : 0;
    if (S_ISBLK(source_stat.st_mode) && ::ioctl(source.fd, BLKGETSIZE64, &source_size) != 0)
        source_size = 0;
    started = now();
    next_update = started + second;
    source.on_refill = update;
}

void end_progress()
{
    if (shown)
        rewrite_line(first_words);
}

bool progress_line_open()
{
    return line_open.load();
}

} // namespace morvask
