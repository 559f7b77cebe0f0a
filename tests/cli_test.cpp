#include "cli/progress.hpp"
#include "codec/fd_stream.hpp"
#include "test_support.hpp"
#include "tool_process.hpp"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <map>
#include <optional>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <set>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using morvask::encode_table;
using morvask::stream_buffer_size;
using clock_type = std::chrono::steady_clock;

// The tool is built as the tests are.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
constexpr bool address_sanitizer = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitizer = false;
#endif

using namespace test;

namespace {

const std::string usage =
    "Encode\nmorvask -e source-file dest-file\nDecode\nmorvask -d source-file dest-file\n";

// The help: the usage text unchanged, then the rest of the synopsis, and where the manual is.
bool is_help(const std::string& out)
{
    const char* const words[] = {"morvask -E source", "morvask -D source", "--version",
                                 "man morvask"};
    return out.starts_with(usage) && std::ranges::all_of(words, [&](const char* w) {
               return out.find(w) != std::string::npos;
           });
}

// Names, kinds and contents of everything in a directory, to show that a run touched nothing.
std::map<std::string, std::string> snapshot(const fs::path& dir)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const fs::file_status st = entry.symlink_status();
        entries[entry.path().filename()] =
            fs::is_symlink(st)        ? "link to " + fs::read_symlink(entry).string()
            : fs::is_regular_file(st) ? "file " + test::read_file(entry.path())
                                      : "other";
    }
    return entries;
}

// How much the run has written to the file it holds open in dir, named or not yet, and the link to
// it in /proc.
std::pair<std::uintmax_t, fs::path> written(pid_t pid, const fs::path& dir)
{
    std::pair<std::uintmax_t, fs::path> output;
    std::error_code ignored;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored))
        if (struct stat st{}; fs::read_symlink(fd, ignored).parent_path() == dir &&
                              ::stat(fd.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            output = std::max(output, {static_cast<std::uintmax_t>(st.st_size), fd.path()});
    return output;
}

// Not a whole number of the tool's buffers, and more than two of them.
constexpr std::size_t data_size = 4 * stream_buffer_size + 1;
const std::string& data()
{
    static const std::string bytes = test::random_bytes(data_size);
    return bytes;
}

// The source that the watched runs read slowly enough to show progress.
constexpr std::size_t big_size = 4 << 20;

struct cli_case;

// A run as the test sees it while it goes on.
struct run_state {
    const cli_case& c;
    fs::path dir;
    running tool;
    clock_type::time_point started;
    std::string shown = "";    // what the terminal showed meanwhile
    std::string fifo = "";     // what came through "fifo"
    std::string progress = ""; // the rewrites of the progress line, each checked
    std::string socket = "";   // what came through the socket
};
// What the test does while the tool runs.
using scenario = void (*)(run_state&);
// What another program does to the destination while the run stalls, given the link in /proc to
// the file that the run writes.
using meddling = void (*)(const fs::path& dir, const fs::path& destination, const fs::path& writes);

// A descriptor the caller hands the tool, in place of the test's pipe where it is 1 or 2.
struct handed {
    int fd;
    std::string file; // in the test's folder, /dev/full, or "socket" (the test holds the other end)
    int flags = O_WRONLY;
    off_t offset = -1; // where the caller left it; -1 for the end
};

// What a case needs beyond the folder; all but seccomp need root.
// clang-format off
enum need : unsigned { root = 1, seccomp = 2, loop = 4, tmpfs = 8, look_alikes = 16, overlay = 32,
                       copied_up = 64, bindfs = 128, proc_mount = 256, bind_mount = 512,
                       second_lower_name = 1024, running = 2048, append_only = 4096, split = 8192 };
// clang-format on

// One run of the tool as a user makes it, in the folder that fixture() lists.
struct cli_case {
    std::string name;
    std::vector<std::string> args;
    run_options run = {};
    std::vector<handed> fds = {};
    std::string before = ""; // the caller's own bytes, in the first handed file before the run
    std::string after = "";  // and through the same descriptor after it
    unsigned needs = 0;
    mode_t source_mode = 0;                                   // src's, if not 0644
    std::optional<std::pair<uid_t, gid_t>> source_owner = {}; // src's, if not root's
    bool source_acl = false; // src with an access ACL: its group nothing, nobody and the mask read
    scenario during = nullptr;
    int sig = 0;
    bool repeated = false; // as a second Ctrl-C does, or timeout's signal to the child, then group
    meddling meddle = nullptr;

    // What standard output's pipe carries, <progress> for the figures at a terminal, <help>; there
    // and in files, <data>, <encoded>, <encoded@N> (from byte N), <encoded PATH> (PATH's, before
    // the run).
    std::string out = "";
    int status = 0;
    // What files hold after the run, or "<absent>"; a folder, how many entries; "socket" and
    // "fifo": what the test received.
    std::vector<std::pair<std::string, std::string>> files = {};
    mode_t mode = 0;                    // of the first of the files
    bool untouched = false;             // the folder as it was
    std::optional<bool> announced = {}; // whether a watcher heard the destination closed by name
    // Whether the destination became a new file, with its owner (1:2), ACL and user.mark kept.
    std::optional<bool> replaced = {};
};

void PrintTo(const cli_case& c, std::ostream* out)
{
    *out << c.name << ": morvask " << testing::PrintToString(c.args);
}

// Whether the case's arguments name path, or a file below it.
bool names(const cli_case& c, const std::string& path)
{
    return std::ranges::any_of(
        c.args, [&](const std::string& arg) { return arg == path || arg.starts_with(path + "/"); });
}

// The folder every case runs in: a name, its kind (file, hard link to, symbolic link to, directory,
// FIFO), what it holds or leads to, and its mode; some only where the case names them. old is
// longer than any output, to show that what was there goes.
struct fixture_file {
    std::string name;
    char kind;
    std::string holds;
    mode_t mode = 0;
    bool named = false;
};
std::vector<fixture_file> fixture(const fs::path& dir)
{
    // clang-format off
    return {
        {"src", 'f', data(), 0644}, {"-", 'f', data(), 0644, true}, {"empty", 'f', "", 0644},
        {"enc", 'f', test::substitute(encode_table, data()), 0644, true},
        {"old", 'f', std::string(data_size + 1000, 'o'), 0640}, {"twin", 'h', "old", 0, true},
        {"hard", 'h', "src"}, {"soft", 'l', "src"}, {"dangling", 'l', "target"}, {"linked", 'l', "old"},
        {"relative", 'l', fs::path("/dev/stdout").lexically_relative(dir)},
        {"sub", 'd', "", 0755}, {"setgid", 'd', "", 02777}, {"dirs/self/fd", 'd', "", 0755, true},
        {"sticky", 'd', "", 01777, true}, {"sticky/theirs", 'f', "theirs", 0644, true},
        {"in", 'p', "", 0666}, {"fifo", 'p', "", 0600},
    };
    // clang-format on
}

// What a case needs beyond the folder, made by the shell in it; where the machine lacks what that
// takes, the shell names it and exits with 77, as automake's tests skip.
const std::pair<unsigned, const char*> setups[] = {
    {need::loop, "[ -e /dev/loop-control ] || { printf 'no /dev/loop-control'; exit 77; }"},
    {need::bindfs, "command -v bindfs > /dev/null || { printf 'no bindfs'; exit 77; }"},
    {need::overlay, "grep -qw overlay /proc/filesystems || { printf 'no overlayfs'; exit 77; }"},
    // A second node of /dev/null; setgid of group 1.
    {need::root, "mknod -m 600 null c $(stat -c '0x%t 0x%T' /dev/null) && chgrp 1 setgid && "
                 "chmod 02777 setgid"},
    {need::loop,
     "head -c 65536 src > img && ln -s $(losetup -f --show img) loop && "
     "ln -s $(losetup -f --show img) loop2 && mknod node b $(stat -L -c '0x%t 0x%T' loop)"},
    {need::tmpfs, "mkdir full other && mount -t tmpfs -o size=64k tmpfs full && "
                  "mount -t tmpfs -o size=64k tmpfs other"},
    // Two files alike in all but their file system: numbered alike, of one size and times.
    {need::look_alikes,
     "for i in $(seq 100); do echo look > full/x; echo like > other/x; touch -d @1 full/x "
     "other/x; [ $(stat -c %i%.9Z full/x) = $(stat -c %i%.9Z other/x) ] && exit 0; done; exit 1"},
    {need::tmpfs, "printf 'older output' > full/old"},
    {need::overlay | need::bindfs, "mkdir lower upper work merged mirror && cat src > lower/f"},
    // Layers on two file systems: then files show each layer's own device number.
    {need::split, "mount -t tmpfs tmpfs lower && cat src > lower/f"},
    {need::overlay, "mount -t overlay -o lowerdir=$PWD/lower,upperdir=$PWD/upper,workdir=$PWD/work"
                    ",xino=off overlay merged"},
    // Copied up: merged/f now shows upper/f under lower/f's inode number.
    // A second name below before the copy-up, which then shows the upper file's own number.
    {need::second_lower_name, "ln lower/f lower/g"},
    {need::copied_up, "cat src > merged/f"},
    // The mirror then holds the file's times of before it was written again.
    {need::bindfs,
     "bindfs $PWD/lower $PWD/mirror && stat mirror/f > /dev/null && cat src > lower/f"},
    {need::proc_mount, "mkdir p3 && mount -t proc proc p3"},
    {need::bind_mount, ": > bound && mount --bind old bound"},
    // Waits without opening prog for writing, which would make the program's start fail instead.
    {need::running, "cp /bin/sleep prog && { ./prog 10 >&- 2>&- & } && "
                    "until [ $(readlink /proc/$!/exe) = $PWD/prog ]; do kill -0 $! || exit; done"},
    {need::append_only, "mkdir room && printf 'older output' > room/old && chattr +a room"},
};

// text with each <...> of cli_case replaced by the bytes it stands for.
std::string expand(const std::string& text, const fs::path& dir)
{
    static const std::regex token("<(data|encoded)(@([0-9]+)| ([^>]+))?>");
    std::string expanded;
    auto at = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), token), end; it != end; ++it) {
        const std::smatch& m = *it;
        expanded.append(at, m[0].first);
        const std::string bytes = m[4].matched ? test::read_file(dir / m[4].str())
                                               : data().substr(m[3].matched ? std::stoul(m[3]) : 0);
        expanded += m[1] == "data" ? bytes : test::substitute(encode_table, bytes);
        at = m[0].second;
    }
    return expanded.append(at, text.cend());
}

// The file's inode flags (chattr), ORed with more, where more is not 0; -1 where they cannot be
// read or set.
int inode_flags(const fs::path& path, int more = 0)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = -1; // the kernel reads and writes an int, whatever the ioctl's declared long
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
        (more != 0 && (flags |= more, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)))
        flags = -1;
    ::close(fd);
    return flags;
}

// What a file replaced whole keeps: owner, group, mode, ACL, an attribute of the user's and its
// inode flags; and, apart, its inode, which it does not keep.
std::pair<std::string, ino_t> attributes(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::string kept = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                       std::to_string(st.st_mode);
    for (const char* name : {"system.posix_acl_access", "user.mark"}) {
        char value[256];
        const ssize_t size = ::getxattr(path.c_str(), name, value, sizeof value);
        kept.append(" ").append(value, static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
    }
    return {kept + " flags " + std::to_string(inode_flags(path)), st.st_ino};
}

// Compares without printing megabytes: the sizes, and the bytes where they first differ.
testing::AssertionResult same(const std::string& got, const std::string& expected)
{
    if (got == expected)
        return testing::AssertionSuccess();
    const auto at =
        static_cast<std::size_t>(std::ranges::mismatch(got, expected).in1 - got.begin());
    return testing::AssertionFailure()
           << got.size() << " bytes, not " << expected.size() << "; from byte " << at << ", "
           << testing::PrintToString(got.substr(at, 32)) << " for "
           << testing::PrintToString(expected.substr(at, 32));
}

// Feeds "in" the data whole where the arguments name it, and reads "fifo" whole.
constexpr scenario streams = [](run_state& s) {
    std::thread feed([&s] {
        if (names(s.c, "in"))
            test::write_file(s.dir / "in", data());
    });
    if (names(s.c, "fifo"))
        s.fifo = test::read_file(s.dir / "fifo");
    feed.join();
};

// Opens "fifo" for reading and closes it at once.
constexpr scenario reader_leaves = [](run_state& s) {
    ::close(::open((s.dir / "fifo").c_str(), O_RDONLY | O_CLOEXEC));
};

// Feeds "in" a part of the data; once half of that is out, meddles and signals, then feeds the
// rest where the run goes on.
void stall(run_state& s)
{
    const fs::path destination = s.dir / s.c.args.back();
    const bool existed = fs::exists(destination);
    const int feed = ::open((s.dir / "in").c_str(), O_WRONLY | O_CLOEXEC);
    const std::size_t first_part = 2 * stream_buffer_size;
    ASSERT_EQ(::write(feed, data().data(), first_part), static_cast<ssize_t>(first_part));
    for (int tries = 0; tries < 1000 && written(s.tool.pid, s.dir).first < first_part / 2; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto [size, output] = written(s.tool.pid, s.dir);
    ASSERT_GE(size, first_part / 2) << "the run never got going";
    EXPECT_EQ(fs::exists(destination), existed) << "named before it is complete";
    if (s.c.meddle != nullptr)
        s.c.meddle(s.dir, destination, output);
    if (s.c.repeated)
        test::send_until_ended(s.tool.pid, s.c.sig);
    else if (s.c.sig != 0)
        ::kill(s.tool.pid, s.c.sig);
    if (s.c.sig == 0 || s.c.run.ignored_signal == s.c.sig)
        std::ignore = ::write(feed, data().data() + first_part, data().size() - first_part);
    ::close(feed);
}

// Puts another file at the destination's name; first renames what the run writes to "moved" (the
// destination, where it existed); gives what it writes "moved" as a second name.
constexpr meddling taken = [](const fs::path&, const fs::path& destination, const fs::path&) {
    test::write_file(destination, "precious");
};
constexpr meddling renamed = [](const fs::path& dir, const fs::path& destination,
                                const fs::path& writes) {
    fs::rename(fs::exists(destination) ? destination : fs::read_symlink(writes), dir / "moved");
    taken(dir, destination, writes);
};
constexpr meddling linked = [](const fs::path& dir, const fs::path&, const fs::path& writes) {
    EXPECT_EQ(
        ::linkat(AT_FDCWD, writes.c_str(), AT_FDCWD, (dir / "moved").c_str(), AT_SYMLINK_FOLLOW),
        0);
};

// The time left that a progress line ends with, or "".
std::string time_left(const std::string& line)
{
    return line.ends_with(" left") ? line.substr(line.rfind(", ")) : "";
}

// Whether line is the progress line that the tool's own function makes of done bytes of big at
// some moment of the run: after its first second, when it shows the first figures, and before
// seconds. The figures before the time left, and the time left, each at some moment: the moments
// at which both are as shown may be fewer than a search can find.
bool made_during(const std::string& line, std::uint64_t done, std::size_t columns, double seconds)
{
    const std::string left = time_left(line);
    const std::string figures = line.substr(0, line.size() - left.size());
    bool figures_made = false;
    bool left_made = false;
    char made[morvask::progress_line_size];
    for (int step = 0; step <= 20'000 && !(figures_made && left_made); ++step) {
        const double at = 1 + (seconds - 1) * step / 20'000;
        morvask::progress_line(made, "Encode...", done, big_size, at, figures.size() + 1);
        figures_made = figures_made || figures == made;
        morvask::progress_line(made, "Encode...", done, big_size, at, columns);
        left_made = left_made || left == time_left(made);
    }
    return figures_made && left_made;
}

// Reads "fifo" a buffer at a time, each once the tool has filled the pipe with the next: every
// rewrite of the line that the terminal shows meanwhile was made as the tool read that next
// buffer, so it tells how far it was exactly. Stops after the first rewrite where the case then
// signals or leaves.
void watch_until(run_state& s, bool leave)
{
    const int fifo = ::open((s.dir / "fifo").c_str(), O_RDONLY | O_CLOEXEC);
    const int capacity = ::fcntl(fifo, F_GETPIPE_SZ);
    s.shown.resize(std::strlen("Encode..."));
    EXPECT_EQ(::read(s.tool.out, s.shown.data(), s.shown.size()), std::ssize(s.shown));
    std::vector<char> buffer(stream_buffer_size);
    for (std::size_t received = 0; received < big_size; received += stream_buffer_size) {
        for (int ms = 0, ready = 0;
             ms < 5000 && ::ioctl(fifo, FIONREAD, &ready) == 0 && ready < capacity; ++ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double seconds = std::chrono::duration<double>(clock_type::now() - s.started).count();
        std::string shown;
        pollfd ready{s.tool.out, POLLIN, 0};
        for (ssize_t got = 1; got > 0 && ::poll(&ready, 1, 0) == 1;) {
            got = ::read(s.tool.out, buffer.data(), buffer.size());
            shown.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        }
        static const std::regex rewrite("\r([^\r\033]*)\033\\[K");
        for (std::sregex_iterator it(shown.begin(), shown.end(), rewrite), end; it != end; ++it) {
            const std::size_t done = received + stream_buffer_size;
            EXPECT_TRUE(made_during((*it)[1], done, s.c.run.terminal, seconds)) << done << " bytes";
            s.progress += (*it)[0];
        }
        if (!s.progress.empty() && (s.c.sig != 0 || leave))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        for (std::size_t chunk = 0; chunk < stream_buffer_size;) {
            const ssize_t got = ::read(fifo, buffer.data(), stream_buffer_size - chunk);
            chunk = got > 0 ? chunk + static_cast<std::size_t>(got) : stream_buffer_size;
            received = got > 0 ? received : big_size;
        }
    }
    s.shown += s.progress;
    if (s.c.sig != 0)
        ::kill(s.tool.pid, s.c.sig);
    if (leave)
        ::close(fifo);
    else
        test::drain(fifo);
}
constexpr scenario watch = [](run_state& s) { watch_until(s, false); };
constexpr scenario watch_then_leave = [](run_state& s) { watch_until(s, true); };

// What a case expects, read before the run changes it.
struct expected {
    std::string out;
    std::vector<std::pair<std::string, std::string>> files;
    std::map<std::string, std::string> folder;
    std::pair<std::string, ino_t> kept;
    int watcher;
};

class Cli : public testing::TestWithParam<cli_case> {
  protected:
    test::temp_dir dir;

    // The mounts in the folder, the last first, and the loop devices over img.
    ~Cli() override
    {
        if (GetParam().needs > need::seccomp)
            std::ignore = std::system(
                ("cd " + dir.path.string() +
                 " && findmnt -rn -o TARGET | grep \"^$PWD/\" | tac | "
                 "xargs -r umount -l; [ -d room ] && chattr -a room; for l in loop loop2; "
                 "do [ -L $l ] && losetup -d $(readlink $l); done")
                    .c_str());
    }

    std::string prepare(const cli_case& c);
    expected expect(const cli_case& c);
    void verify(const cli_case& c, const expected& e, const run_state& s, const result& r);
};

// The folder the case runs in; why it cannot run here, or "".
std::string Cli::prepare(const cli_case& c)
{
    const bool root = ::geteuid() == 0;
    if (!root && ((c.needs & ~need::seccomp) != 0 || c.run.user != 0 || c.run.no_proc))
        return "needs root";
    if (c.run.no_proc && address_sanitizer)
        return "AddressSanitizer needs /proc";
#ifdef MORVASK_LAUNCHER
    if (c.sig > SIGRTMAX - 2)
        return "qemu-user keeps the last two real-time signals for itself";
    if ((c.needs & need::seccomp) != 0)
        return "seccomp filters cannot be set here (qemu-user keeps them to itself)";
#endif
    for (const std::string& arg : c.args)
        if (arg.starts_with("/sys/") && !fs::exists(arg))
            return arg + " is not here";
    for (const fixture_file& f : fixture(dir.path)) {
        const fs::path at = dir / f.name;
        if (f.named && !names(c, f.name))
            continue;
        if (f.kind == 'f')
            test::write_file(at, f.holds);
        else if (f.kind == 'h')
            fs::create_hard_link(dir / f.holds, at);
        else if (f.kind == 'l')
            fs::create_symlink(f.holds, at);
        else if (f.kind == 'd')
            fs::create_directories(at);
        else
            ::mkfifo(at.c_str(), 0600);
        if (f.mode != 0)
            ::chmod(at.c_str(), f.mode);
    }
    if (c.during == watch || c.during == watch_then_leave)
        test::write_file(dir / "big", test::random_bytes(big_size));
    if (c.run.user != 0)
        ::chmod(dir.path.c_str(), 0777);
    if (c.source_owner)
        ::chown((dir / "src").c_str(), c.source_owner->first, c.source_owner->second);
    if (c.source_mode != 0)
        ::chmod((dir / "src").c_str(), c.source_mode);
    // Version 2; the owner rw, nobody (65534) r, the group nothing, the mask r, others nothing; and
    // the same but nobody may write and the mask lets it.
    const std::string acl(
        "\2\0\0\0\1\0\6\0\xff\xff\xff\xff\2\0\4\0\xfe\xff\0\0\4\0\0\0\xff\xff\xff\xff"
        "\x10\0\4\0\xff\xff\xff\xff\x20\0\0\0\xff\xff\xff\xff",
        44);
    std::string writable = acl;
    writable[14] = writable[30] = 6;
    const std::string destination = c.replaced ? (dir / c.args.back()).string() : "";
    // A file system without them cannot run the case; one with them must.
    if ((c.source_acl && ::setxattr((dir / "src").c_str(), "system.posix_acl_access", acl.data(),
                                    acl.size(), 0) != 0) ||
        (c.replaced && (::chown(destination.c_str(), 1, 2) != 0 ||
                        ::setxattr(destination.c_str(), "user.mark", "kept", 4, 0) != 0 ||
                        ::setxattr(destination.c_str(), "system.posix_acl_access", writable.data(),
                                   writable.size(), 0) != 0 ||
                        inode_flags(destination, FS_NODUMP_FL) < 0))) {
        EXPECT_TRUE(errno == EOPNOTSUPP || errno == ENOTTY || (errno == EPERM && !root));
        return std::string("no owners, attributes, ACLs or inode flags here: ") +
               std::strerror(errno);
    }
    // Where the machine has what a case needs, a set-up that fails is a failure, with its words.
    for (const auto& [needs, commands] : setups) {
        const std::string run = "cd " + dir.path.string() + " && (" + commands + ") 2>&1";
        std::FILE* const shell = (c.needs & needs) != 0 ? ::popen(run.c_str(), "r") : nullptr;
        const std::string said = shell != nullptr ? test::drain(::dup(::fileno(shell))) : "";
        if (const int status = shell != nullptr ? ::pclose(shell) : 0; status != 0) {
            EXPECT_EQ(WEXITSTATUS(status), 77) << commands << "\n" << said;
            return said;
        }
    }
    return "";
}

expected Cli::expect(const cli_case& c)
{
    expected e{expand(c.out, dir.path), {}, {}, {}, ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    for (const auto& [name, holds] : c.files)
        e.files.emplace_back(name, expand(holds, dir.path));
    if (c.untouched)
        e.folder = snapshot(dir.path);
    if (c.replaced)
        e.kept = attributes(dir / c.args.back());
    ::inotify_add_watch(e.watcher, dir.path.c_str(), IN_CLOSE_WRITE);
    return e;
}

// What the run left: its words and status, the files it wrote and the mode of the first, the
// source and the folder, and what a watcher of the folder heard.
void Cli::verify(const cli_case& c, const expected& e, const run_state& s, const result& r)
{
    std::string out = e.out;
    if (const std::size_t at = out.find("<progress>"); at != std::string::npos)
        out.replace(at, std::strlen("<progress>"), s.progress);
    if (c.out == "<help>")
        EXPECT_TRUE(is_help(r.out)) << r.out;
    else
        EXPECT_TRUE(same(s.shown + r.out, out));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
    // Dies of the signal, but where a signal's default action cannot end it.
    EXPECT_EQ(WIFSIGNALED(r.raw), c.status > 128 && !c.run.own_pid_namespace) << r.raw;
    for (const auto& [name, holds] : e.files) {
        SCOPED_TRACE(name);
        struct stat st {};
        const fs::path at = dir / name;
        const bool received = name == "fifo" || name == "socket";
        if (holds == "<absent>") {
            EXPECT_NE(::lstat(at.c_str(), &st), 0);
            continue;
        }
        EXPECT_TRUE(same(received               ? (name == "fifo" ? s.fifo : s.socket)
                         : fs::is_directory(at) ? std::to_string(snapshot(at).size())
                                                : test::read_file(at),
                         holds));
        // Blocks reserved for more than the file came to hold are given back.
        EXPECT_TRUE(received ||
                    (::stat(at.c_str(), &st) == 0 && st.st_blocks * 512 <= st.st_size + 65536));
    }
    struct stat copy {};
    struct stat source {};
    if (c.mode != 0 && ::stat((dir / c.files.front().first).c_str(), &copy) == 0 &&
        ::stat((dir / "src").c_str(), &source) == 0) {
        EXPECT_EQ(copy.st_mode & 07777, c.mode);
        // Another group than the source's gets no more than others.
        EXPECT_TRUE(copy.st_gid == source.st_gid || ((copy.st_mode >> 3) & ~copy.st_mode & 07) == 0)
            << "group bits for group " << copy.st_gid;
    }
    EXPECT_TRUE(same(test::read_file(dir / "src"), data())) << "the source changed";
    EXPECT_TRUE(fs::is_fifo(dir / "in") && fs::is_fifo(dir / "fifo"));
    EXPECT_TRUE(!c.untouched || snapshot(dir.path) == e.folder) << "the folder changed";
    if (c.replaced) {
        const auto [now, inode] = attributes(dir / c.args.back());
        EXPECT_EQ(now, e.kept.first);
        EXPECT_EQ(inode != e.kept.second, *c.replaced) << "a new file";
    }
    std::set<std::string> heard;
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(e.watcher, events, sizeof events)) > 0;)
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            heard.insert(event->len > 0 ? event->name : "");
            at += sizeof(inotify_event) + event->len;
        }
    ::close(e.watcher);
    EXPECT_TRUE(!c.announced || heard.contains(c.args.back()) == *c.announced)
        << "closed by its name";
}

TEST_P(Cli, Runs)
{
    const cli_case& c = GetParam();
    if (const std::string why = prepare(c); !why.empty())
        GTEST_SKIP() << why;
    run_options options = c.run;
    options.cwd = dir / c.run.cwd;
    // Another user runs a copy in the case's folder, which it may reach wherever the checkout is.
    if (c.run.user != 0 && fs::copy_file(options.tool, dir / "tool"))
        options.tool = dir / "tool";
    if (!c.fds.empty() && !c.before.empty())
        test::write_file(dir / c.fds.front().file, c.before);
    std::vector<std::pair<int, int>> fds;
    int sockets[2] = {-1, -1};
    for (const handed& h : c.fds) {
        const int fd =
            h.file != "socket" ? ::open((dir / h.file).c_str(), h.flags | O_CREAT | O_CLOEXEC, 0644)
            : sockets[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) == 0
                ? sockets[0]
                : -1;
        ASSERT_GE(fd, 0) << h.file;
        ::lseek(fd, h.offset < 0 ? 0 : h.offset, h.offset < 0 ? SEEK_END : SEEK_SET);
        fds.emplace_back(fd, h.fd);
    }
    const expected e = expect(c);
    const clock_type::time_point started = clock_type::now();
    options.on_cpu0 = c.repeated; // where signals repeat, from a thread on another CPU
    run_state s{c, dir.path, test::start(c.args, options, fds), started};
    if (s.tool.pid < 0) // qemu-user starts no process in a PID namespace of its own
        GTEST_SKIP() << "cannot start the tool so here: " << std::strerror(errno);
    ::signal(SIGPIPE, SIG_IGN); // a tool that died early fails the test's writes, not the test
    // The tool holds its own; the test keeps the first, to write after the run.
    for (std::size_t i = c.after.empty() ? 0 : 1; i < fds.size(); ++i)
        ::close(fds[i].first);
    // The other end of a socket the tool holds: drained, and where it is the source, fed.
    std::thread drain([&] {
        if (sockets[0] >= 0)
            s.socket = test::drain(::dup(sockets[1]));
    });
    if (sockets[0] >= 0 && c.fds.front().fd == STDIN_FILENO)
        test::feed_in_pieces(::dup(sockets[1]), data(), data().size()).join();
    ::shutdown(sockets[1], SHUT_WR);
    if (c.during != nullptr)
        c.during(s);
    const result r = test::finish(s.tool);
    drain.join();
    ::close(sockets[1]);
    if (!c.after.empty()) {
        EXPECT_EQ(::write(fds.front().first, c.after.data(), c.after.size()), std::ssize(c.after));
        ::close(fds.front().first);
    }
    verify(c, e, s, r);
}

const std::string older = "older line\n";
const std::string keep = "keep this line\n";
constexpr int appending = O_WRONLY | O_APPEND;
const run_options nobody{.user = 65534};
const run_options terminal{.terminal = 80, .term = "xterm"};
const std::string ok = "Encode...OK.\n";
const std::string cant_write_new = "Encode...Can't write new file.\n";
const std::string progress = "Encode...<progress>\rEncode...\033[K";

// A case a line, where it fits, reads as a table.
// clang-format off
std::vector<cli_case> cases()
{
    std::vector<cli_case> all = {
        // Refused: the folder as it was.
        {.name = "no_arguments", .args = {}, .out = usage, .status = 2, .untouched = true},
        {.name = "option_alone", .args = {"-e"}, .out = usage, .status = 2, .untouched = true},
        {.name = "one_path", .args = {"-e", "src"}, .out = usage, .status = 2, .untouched = true},
        {.name = "three_paths", .args = {"-e", "src", "old", "more"}, .out = usage, .status = 2, .untouched = true},
        {.name = "help", .args = {"--help"}, .out = "<help>", .untouched = true},
        {.name = "h", .args = {"-h"}, .out = "<help>", .untouched = true},
        {.name = "version", .args = {"--version"}, .out = "morvask " MORVASK_VERSION "\n", .untouched = true},
        {.name = "version_and_more", .args = {"--version", "src"}, .out = usage, .status = 2, .untouched = true},
        {.name = "version_to_a_full_disk", .args = {"--version"}, .fds = {{1, "/dev/full"}}, .status = 1, .untouched = true},
        {.name = "help_to_a_full_disk", .args = {"--help"}, .fds = {{1, "/dev/full"}}, .status = 1, .untouched = true},
        {.name = "usage_not_into_the_data", .args = {"-e", "/dev/stdout"}, .status = 2, .untouched = true},
        {.name = "unknown_option_first", .args = {"-%s", "missing", "no/dir/new"}, .out = "unknown option '-%s'\n", .status = 2, .untouched = true},
        {.name = "missing_source", .args = {"-e", "missing", "new"}, .out = "missing file not found.\n", .status = 1, .untouched = true},
        {.name = "empty_source_path", .args = {"-d", "", "new"}, .out = " file not found.\n", .status = 1, .untouched = true},
        {.name = "per_cent_in_a_path", .args = {"-e", "%d%s%n", "new"}, .out = "%d%s%n file not found.\n", .status = 1, .untouched = true},
        {.name = "dash_names_a_file", .args = {"-e", "-", "new"}, .run = {.cwd = "sub"}, .out = "- file not found.\n", .status = 1, .untouched = true},
        {.name = "directory_source", .args = {"-e", ".", "new"}, .out = "Can't read . file.\n", .status = 1, .untouched = true},
        {.name = "destination_in_no_folder", .args = {"-e", "src", "no/dir/new"}, .out = "Can't open no/dir/new file.\n", .status = 1, .untouched = true},
        {.name = "directory_destination", .args = {"-e", "src", "sub"}, .out = "Can't open sub file.\n", .status = 1, .untouched = true},
        {.name = "empty_destination_path", .args = {"-e", "src", ""}, .out = "Can't open  file.\n", .status = 1, .untouched = true},
        {.name = "same_file", .args = {"-e", "src", "src"}, .out = "src and src are the same file.\n", .status = 1, .untouched = true},
        {.name = "same_file_by_another_path", .args = {"-E", "src", "./src"}, .out = "src and ./src are the same file.\n", .status = 1, .untouched = true},
        {.name = "same_file_by_a_hard_link", .args = {"-d", "src", "hard"}, .out = "src and hard are the same file.\n", .status = 1, .untouched = true},
        {.name = "same_file_by_a_symbolic_link", .args = {"-D", "soft", "src"}, .out = "soft and src are the same file.\n", .status = 1, .untouched = true},
        {.name = "device_by_another_node", .args = {"-e", "/dev/null", "null"}, .needs = need::root, .out = "/dev/null and null are the same file.\n", .status = 1, .untouched = true},
        {.name = "loop_device_of_the_source", .args = {"-e", "img", "loop"}, .needs = need::loop, .out = "img and loop are the same file.\n", .status = 1, .untouched = true},
        {.name = "loop_device_as_source", .args = {"-e", "loop", "img"}, .needs = need::loop, .out = "loop and img are the same file.\n", .status = 1, .untouched = true},
        {.name = "loop_device_by_another_node", .args = {"-e", "loop", "node"}, .needs = need::loop, .out = "loop and node are the same file.\n", .status = 1, .untouched = true},
        {.name = "two_loop_devices_over_one_file", .args = {"-e", "loop", "loop2"}, .needs = need::loop, .out = "loop and loop2 are the same file.\n", .status = 1, .untouched = true},
        {.name = "overlay_view_as_destination", .args = {"-e", "lower/f", "merged/f"}, .needs = need::overlay, .out = "lower/f and merged/f are the same file.\n", .status = 1, .files = {{"lower/f", "<data>"}}},
        {.name = "overlay_view_of_the_destination", .args = {"-e", "merged/f", "lower/f"}, .needs = need::overlay, .out = "merged/f and lower/f are the same file.\n", .status = 1, .files = {{"lower/f", "<data>"}}},
        {.name = "fuse_mirror_of_the_destination", .args = {"-e", "mirror/f", "lower/f"}, .needs = need::bindfs, .out = "mirror/f and lower/f are the same file.\n", .status = 1, .files = {{"lower/f", "<data>"}}},
        {.name = "fuse_mirror_as_destination", .args = {"-e", "lower/f", "mirror/f"}, .needs = need::bindfs, .out = "lower/f and mirror/f are the same file.\n", .status = 1, .files = {{"lower/f", "<data>"}}},
        {.name = "look_alikes_on_two_file_systems", .args = {"-e", "other/x", "full/x"}, .needs = need::tmpfs | need::look_alikes, .out = ok, .files = {{"full/x", "<encoded other/x>"}}},

        // Runs that succeed; an existing destination keeps its permissions.
        {.name = "encode", .args = {"-e", "src", "old"}, .out = ok, .files = {{"old", "<encoded>"}}, .mode = 0640},
        {.name = "encode_upper_case", .args = {"-E", "src", "old"}, .out = ok, .files = {{"old", "<encoded>"}}},
        {.name = "decode", .args = {"-d", "enc", "new"}, .out = "Decode...OK.\n", .files = {{"new", "<data>"}}, .announced = true},
        {.name = "decode_upper_case", .args = {"-D", "enc", "new"}, .out = "Decode...OK.\n", .files = {{"new", "<data>"}}},
        {.name = "encode_nothing", .args = {"-e", "empty", "new"}, .out = ok, .files = {{"new", ""}}},
        {.name = "decode_nothing", .args = {"-d", "empty", "new"}, .out = "Decode...OK.\n", .files = {{"new", ""}}},
        {.name = "dash_as_source", .args = {"-e", "-", "new"}, .out = ok, .files = {{"new", "<encoded>"}}},
        {.name = "dash_as_destination", .args = {"-d", "enc", "-"}, .out = "Decode...OK.\n", .files = {{"-", "<data>"}}},
        {.name = "fifos", .args = {"-e", "in", "fifo"}, .during = streams, .out = ok, .files = {{"fifo", "<encoded>"}}},
        // Sources that hold less than their size says: the kernel's, one read from an offset.
        {.name = "source_shorter_than_its_size", .args = {"-e", "/sys/devices/system/cpu/online", "new"}, .out = ok, .files = {{"new", "<encoded /sys/devices/system/cpu/online>"}}},
        {.name = "source_read_from_where_it_stands", .args = {"-e", "/dev/stdin", "new"}, .fds = {{0, "src", O_RDONLY, data_size - 10}}, .out = ok, .files = {{"new", "<encoded@" + std::to_string(data_size - 10) + ">"}}},
        {.name = "from_one_device_to_another", .args = {"-e", "/dev/null", "/dev/zero"}, .out = ok},
        {.name = "to_a_device", .args = {"-d", MORVASK_BINARY, "/dev/null"}, .out = "Decode...OK.\n"},

        // The permissions of a destination the run creates: never more open than its source.
        {.name = "executable_under_a_private_umask", .args = {"-e", "src", "new"}, .run = {.umask = 077}, .source_mode = 0755, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0700},
        // Its group nothing, user nobody and the mask read.
        {.name = "source_with_an_acl", .args = {"-e", "src", "new"}, .source_mode = 0640, .source_acl = true, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0600},
        {.name = "in_a_setgid_folder_of_another_group", .args = {"-e", "src", "setgid/new"}, .needs = need::root, .source_mode = 0640, .out = ok, .files = {{"setgid/new", "<encoded>"}}, .mode = 0640},
        {.name = "private_through_a_dangling_link", .args = {"-e", "src", "dangling"}, .run = {.umask = 0}, .source_mode = 0600, .out = ok, .files = {{"target", "<encoded>"}}, .mode = 0600},
        {.name = "no_group_through_a_dangling_link", .args = {"-e", "src", "dangling"}, .run = {.umask = 0}, .source_mode = 0640, .out = ok, .files = {{"target", "<encoded>"}}, .mode = 0600},
        // As a user who may not give the copy to the source's group, and of the user's own group.
        {.name = "group_gets_no_more_than_others", .args = {"-e", "src", "new"}, .run = {.user = 65534, .umask = 0}, .source_mode = 0664, .source_owner = std::pair{65534u, 0u}, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0644},
        {.name = "group_of_the_user", .args = {"-e", "src", "new"}, .run = nobody, .source_mode = 0640, .source_owner = std::pair{65534u, 65534u}, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0640},
        {.name = "fifo_as_source", .args = {"-e", "in", "new"}, .run = {.umask = 0}, .during = streams, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0600},
        {.name = "socket_as_source", .args = {"-e", "/dev/stdin", "new"}, .fds = {{0, "socket"}}, .out = ok, .files = {{"new", "<encoded>"}}, .mode = 0600},

        // Failed runs leave no partial output; an existing destination keeps its permissions.
        {.name = "source_the_user_may_not_read", .args = {"-e", "src", "new"}, .run = nobody, .source_mode = 0600, .out = "src file not found.\n", .status = 1, .untouched = true},
        {.name = "read_fails", .args = {"-e", "/proc/self/mem", "new"}, .out = "Encode...Can't read /proc/self/mem file.\n", .status = 1, .files = {{"new", "<absent>"}}},
        {.name = "read_fails_over_a_file", .args = {"-e", "/proc/self/mem", "old"}, .out = "Encode...Can't read /proc/self/mem file.\n", .status = 1, .files = {{"old", "<data old>"}}, .mode = 0640},
        {.name = "file_size_limit", .args = {"-e", "src", "new"}, .run = {.file_size_limit = 65536}, .out = cant_write_new, .status = 1, .files = {{"new", "<absent>"}}},
        {.name = "file_size_limit_over_a_file", .args = {"-e", "src", "old"}, .run = {.file_size_limit = 65536}, .out = "Encode...Can't write old file.\n", .status = 1, .files = {{"old", "<data old>"}}, .mode = 0640},
        {.name = "full_device", .args = {"-e", "src", "/dev/full"}, .out = "Encode...Can't write /dev/full file.\n", .status = 1},
        // SIGPIPE must not end the run without a word.
        {.name = "reader_goes_away", .args = {"-e", "src", "fifo"}, .during = reader_leaves, .out = "Encode...Can't write fifo file.\n", .status = 1},
        {.name = "named_through_proc", .args = {"-e", "src", "new"}, .run = {.refuse = refused::descriptor_link}, .needs = need::seccomp, .out = ok, .files = {{"new", "<encoded>"}}, .announced = true},
        {.name = "close_fails", .args = {"-e", "src", "new"}, .run = {.refuse = refused::close}, .needs = need::seccomp, .out = cant_write_new, .status = 1, .files = {{"new", "<absent>"}}, .announced = false},
        {.name = "close_fails_over_a_file", .args = {"-e", "src", "old"}, .run = {.refuse = refused::close}, .needs = need::seccomp, .out = "Encode...Can't write old file.\n", .status = 1, .files = {{"old", "<data old>"}}, .mode = 0640},
        {.name = "full_disk", .args = {"-e", "src", "full/new"}, .needs = need::tmpfs, .out = "Encode...Can't write full/new file.\n", .status = 1, .files = {{"full/new", "<absent>"}}},
        {.name = "replaced_with_what_it_was", .args = {"-e", "src", "old"}, .needs = need::root, .out = ok, .files = {{"old", "<encoded>"}}, .replaced = true},
        {.name = "file_mounted_over_the_name_copied_into", .args = {"-e", "src", "bound"}, .needs = need::bind_mount, .out = ok, .files = {{"old", "<encoded>"}}},
        {.name = "link_copied_into", .args = {"-e", "src", "linked"}, .needs = need::root, .out = ok, .files = {{"old", "<encoded>"}}, .replaced = false},
        {.name = "another_users_file_in_a_sticky_folder_copied_into", .args = {"-e", "src", "sticky/theirs"}, .run = nobody, .needs = need::root, .out = ok, .files = {{"sticky/theirs", "<encoded>"}}, .replaced = false},
        {.name = "hard_link_copied_into", .args = {"-e", "src", "twin"}, .out = ok, .files = {{"old", "<encoded>"}}},
        {.name = "running_program_replaced", .args = {"-e", "src", "prog"}, .needs = need::running, .out = ok, .files = {{"prog", "<encoded>"}}},
        {.name = "append_only_folder_copied_into", .args = {"-e", "src", "room/old"}, .needs = need::append_only, .out = ok, .files = {{"room/old", "<encoded>"}, {"room", "1"}}},
        {.name = "no_room_for_the_attributes", .args = {"-e", "src", "old"}, .run = {.refuse = refused::xattr_room}, .needs = need::seccomp, .out = "Can't open old file.\n", .status = 1, .files = {{"old", "<data old>"}}, .replaced = false},
        {.name = "copied_up_file_and_its_upper_file", .args = {"-e", "merged/f", "upper/f"}, .needs = need::overlay | need::copied_up, .out = "merged/f and upper/f are the same file.\n", .status = 1, .files = {{"upper/f", "<data>"}}},
        {.name = "upper_file_and_its_copied_up_view", .args = {"-e", "upper/f", "merged/f"}, .needs = need::overlay | need::copied_up, .out = "upper/f and merged/f are the same file.\n", .status = 1, .files = {{"upper/f", "<data>"}}},
        {.name = "copied_up_file_of_two_file_systems_and_its_upper_file", .args = {"-e", "merged/f", "upper/f"}, .needs = need::overlay | need::split | need::copied_up, .out = "merged/f and upper/f are the same file.\n", .status = 1, .files = {{"upper/f", "<data>"}}},
        {.name = "upper_file_of_two_file_systems_and_its_copied_up_view", .args = {"-e", "upper/f", "merged/f"}, .needs = need::overlay | need::split | need::copied_up, .out = "upper/f and merged/f are the same file.\n", .status = 1, .files = {{"upper/f", "<data>"}}},
        {.name = "copied_up_file_of_two_file_systems_and_the_lower_one", .args = {"-e", "lower/f", "merged/f"}, .needs = need::overlay | need::split | need::copied_up, .out = ok, .files = {{"merged/f", "<encoded>"}, {"upper/f", "<encoded>"}, {"lower/f", "<data>"}}},
        {.name = "copied_up_file_and_a_second_name_below", .args = {"-e", "merged/f", "lower/g"}, .needs = need::overlay | need::second_lower_name | need::copied_up, .out = ok, .files = {{"lower/g", "<encoded>"}}},
        {.name = "full_disk_over_a_file", .args = {"-e", "src", "full/old"}, .needs = need::tmpfs, .out = "Encode...Can't write full/old file.\n", .status = 1, .files = {{"full/old", "<data full/old>"}}},

        // Signals, and other programs, while the run stalls on its source.
        {.name = "sigkill", .args = {"-e", "in", "new"}, .during = stall, .sig = SIGKILL, .status = 128 + SIGKILL, .untouched = true},
        {.name = "sigkill_over_a_file", .args = {"-e", "in", "old"}, .during = stall, .sig = SIGKILL, .status = 128 + SIGKILL, .files = {{"old", "<data old>"}}},
        {.name = "sigkill_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .during = stall, .sig = SIGKILL, .status = 128 + SIGKILL, .files = {{"new", "<absent>"}}},
        {.name = "repeated_sigint", .args = {"-e", "in", "new"}, .during = stall, .sig = SIGINT, .repeated = true, .status = 128 + SIGINT, .untouched = true},
        {.name = "repeated_sigterm_over_a_file", .args = {"-e", "in", "old"}, .during = stall, .sig = SIGTERM, .repeated = true, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}},
        {.name = "sigterm_to_the_first_process_of_a_pid_namespace", .args = {"-e", "in", "old"}, .run = {.own_pid_namespace = true}, .during = stall, .sig = SIGTERM, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}},
        {.name = "sighup_ignored_at_start", .args = {"-e", "in", "old"}, .run = {.ignored_signal = SIGHUP}, .during = stall, .sig = SIGHUP, .out = ok, .files = {{"old", "<encoded>"}}},
        {.name = "sigterm_blocked_at_start", .args = {"-e", "in", "old"}, .run = {.blocked_signal = SIGTERM}, .during = stall, .sig = SIGTERM, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}},
        {.name = "sigterm_over_a_link", .args = {"-e", "in", "linked"}, .during = stall, .sig = SIGTERM, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}},
        {.name = "sigterm_after_refused_attributes", .args = {"-e", "in", "old"}, .run = {.refuse = refused::xattr}, .needs = need::seccomp, .during = stall, .sig = SIGTERM, .status = 128 + SIGTERM, .files = {{"old", "<data old>"}}, .replaced = false},
        {.name = "replaced_meanwhile", .args = {"-e", "in", "old"}, .during = stall, .meddle = renamed, .out = "Encode...Can't write old file.\n", .status = 1, .files = {{"old", "precious"}, {"moved", "<data old>"}}},
        {.name = "name_taken_meanwhile", .args = {"-e", "in", "new"}, .during = stall, .meddle = taken, .out = cant_write_new, .status = 1, .files = {{"new", "precious"}}},
        {.name = "name_taken_meanwhile_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .during = stall, .meddle = taken, .out = cant_write_new, .status = 1, .files = {{"new", "precious"}}},
        {.name = "sigterm_after_a_second_name", .args = {"-e", "in", "new"}, .during = stall, .sig = SIGTERM, .meddle = linked, .status = 128 + SIGTERM, .files = {{"new", "<absent>"}, {"moved", ""}}},
        {.name = "sigterm_after_a_rename_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .during = stall, .sig = SIGTERM, .meddle = renamed, .status = 128 + SIGTERM, .files = {{"new", "precious"}, {"moved", ""}}},
        {.name = "renamed_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .during = stall, .meddle = renamed, .out = cant_write_new, .status = 1, .files = {{"new", "precious"}, {"moved", ""}}},
        {.name = "sigterm_after_a_second_name_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.refuse = refused::unnamed_files}, .needs = need::seccomp, .during = stall, .sig = SIGTERM, .meddle = linked, .status = 128 + SIGTERM, .files = {{"new", "<absent>"}, {"moved", ""}}},
        {.name = "full_after_a_second_name_without_unnamed_files", .args = {"-e", "in", "new"}, .run = {.file_size_limit = 5 * stream_buffer_size / 2, .refuse = refused::unnamed_files}, .needs = need::seccomp, .during = stall, .meddle = linked, .out = cant_write_new, .status = 1, .files = {{"new", "<absent>"}, {"moved", ""}}},

        // The caller's descriptors, where the arguments name them; where standard output is the
        // destination's file, the data and not a word.
        {.name = "to_a_pipe", .args = {"-e", "src", "/dev/stdout"}, .out = "<encoded>"},
        {.name = "to_a_non_blocking_pipe", .args = {"-e", "src", "/dev/stdout"}, .run = {.standard_output_flags = O_NONBLOCK}, .out = "<encoded>"},
        {.name = "to_a_file", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log"}}, .files = {{"log", "<encoded>"}}},
        {.name = "appended_to_a_file", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log", appending}}, .before = older, .files = {{"log", older + "<encoded>"}}},
        {.name = "among_the_callers_lines", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log"}}, .before = older, .after = "later\n", .files = {{"log", older + "<encoded>later\n"}}},
        {.name = "to_a_socket", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "socket"}}, .files = {{"socket", "<encoded>"}}},
        {.name = "missing_source_to_the_file_of_standard_output", .args = {"-e", "missing", "log"}, .fds = {{1, "log", appending}}, .before = older, .status = 1, .files = {{"log", older}}},
        {.name = "missing_source_to_a_pipe", .args = {"-e", "missing", "/dev/stdout"}, .status = 1},
        {.name = "read_fails_to_a_file", .args = {"-e", "/proc/self/mem", "/dev/stdout"}, .fds = {{1, "log", appending}}, .before = older, .status = 1, .files = {{"log", older}}},
        {.name = "unknown_option_to_a_pipe", .args = {"-x", "src", "/dev/stdout"}, .status = 2},
        {.name = "standard_output_the_source", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "src", appending}}, .status = 1},
        {.name = "read_only_standard_output", .args = {"-e", "src", "/dev/stdout"}, .fds = {{1, "log", O_RDONLY}}, .status = 1, .files = {{"log", ""}}},
        {.name = "read_only_descriptor", .args = {"-e", "src", "/dev/fd/3"}, .fds = {{3, "log", O_RDONLY}}, .out = "Can't open /dev/fd/3 file.\n", .status = 1, .files = {{"log", ""}}},
        {.name = "to_standard_error", .args = {"-e", "src", "/dev/stderr"}, .fds = {{2, "log", appending}}, .before = older, .out = ok, .files = {{"log", older + "<encoded>"}}},
        {.name = "to_a_descriptor", .args = {"-e", "src", "/proc/thread-self/fd/3"}, .fds = {{3, "log", appending}}, .before = older, .out = ok, .files = {{"log", older + "<encoded>"}}},
        {.name = "to_a_descriptor_of_the_thread", .args = {"-e", "src", "/proc/thread-self/fd/../fd/3"}, .fds = {{3, "log", appending}}, .before = older, .out = ok, .files = {{"log", older + "<encoded>"}}},
        {.name = "through_a_relative_link", .args = {"-e", "src", "relative"}, .fds = {{1, "log", appending}}, .before = older, .files = {{"log", older + "<encoded>"}}},
        {.name = "no_descriptor_has_a_leading_zero", .args = {"-e", "src", "/dev/fd/03"}, .fds = {{3, "log", appending}}, .out = "Can't open /dev/fd/03 file.\n", .status = 1, .files = {{"log", ""}}},
        {.name = "socket_both_ways", .args = {"-e", "/dev/stdin", "/dev/stdout"}, .fds = {{0, "socket"}, {1, "socket"}}, .files = {{"socket", "<encoded>"}}},
        // Nothing reserved in the caller's file: here the source's size, not what is left of it, would not fit.
        {.name = "nothing_reserved_in_the_callers_file", .args = {"-e", "/dev/stdin", "/dev/fd/3"}, .fds = {{0, "src", O_RDONLY, data_size - 10}, {3, "full/log", appending}}, .needs = need::tmpfs, .out = ok, .files = {{"full/log", "<encoded@" + std::to_string(data_size - 10) + ">"}}},
        {.name = "from_where_the_caller_left_it", .args = {"-e", "/dev/stdin", "/dev/stdout"}, .fds = {{0, "src", O_RDONLY, 10}}, .out = "<encoded@10>"},
        {.name = "flags_that_cannot_be_read", .args = {"-e", "src", "/dev/stdout"}, .run = {.refuse = refused::status_flags}, .fds = {{1, "log", appending}}, .before = older, .needs = need::seccomp, .files = {{"log", older + "<encoded>"}}},
        {.name = "without_proc", .args = {"-e", "src", "/dev/stdout"}, .run = {.no_proc = true}, .out = "<encoded>"},
        {.name = "usage_not_into_the_data_without_proc", .args = {"-e", "src", "/dev/stdout", "extra"}, .run = {.no_proc = true}, .status = 2},
        // Any other path is its own file, whatever descriptor leads there: `>> log`, a while read
        // loop over its source, and a named descriptor of a file that another one holds too.
        {.name = "file_of_a_callers_descriptor_by_its_name", .args = {"-e", "src", "log"}, .fds = {{3, "log", appending}}, .before = older, .after = "later\n", .out = ok, .files = {{"log", "<encoded>later\n"}}},
        {.name = "no_word_into_the_source", .args = {"-e", "src", "new"}, .fds = {{1, "src", appending}}, .files = {{"new", "<encoded>"}}},
        {.name = "file_of_standard_output_by_its_name", .args = {"-e", "src", "log"}, .fds = {{1, "log", appending}}, .before = older, .after = "later\n", .files = {{"log", "<encoded>later\n"}}},
        {.name = "missing_source_to_a_mirror_of_standard_output", .args = {"-e", "missing", "mirror/f"}, .fds = {{1, "lower/f", appending}}, .before = older, .needs = need::bindfs, .status = 1, .files = {{"lower/f", older}}},
        {.name = "unknown_option_to_a_mirror_of_standard_output", .args = {"-x", "src", "mirror/f"}, .fds = {{1, "lower/f", appending}}, .before = older, .needs = need::bindfs, .status = 2, .files = {{"lower/f", older}}},
        {.name = "usage_to_a_mirror_of_standard_output", .args = {"-e", "src", "mirror/f", "more"}, .fds = {{1, "lower/f", appending}}, .before = older, .needs = need::bindfs, .status = 2, .files = {{"lower/f", older}}},
        {.name = "to_a_copy_of_standard_output_on_a_socket", .args = {"-e", "src", "/dev/fd/3"}, .fds = {{1, "socket"}, {3, "socket"}}, .files = {{"socket", "<encoded>"}}},
        {.name = "missing_source_to_a_copy_of_standard_output_without_proc", .args = {"-e", "missing", "/dev/fd/3"}, .run = {.no_proc = true}, .fds = {{1, "socket"}, {3, "socket"}}, .status = 1, .files = {{"socket", ""}}},
        {.name = "standard_output_through_a_second_proc_mount", .args = {"-e", "src", "p3/self/fd/1"}, .fds = {{1, "log", appending}}, .before = older, .needs = need::proc_mount, .files = {{"log", older + "<encoded>"}}},
        {.name = "folder_called_self_fd_names_no_descriptor", .args = {"-e", "src", "dirs/self/fd/1"}, .out = ok, .files = {{"dirs/self/fd/1", "<encoded>"}}},
        {.name = "source_descriptor_open_only_as_a_path", .args = {"-e", "/dev/fd/3", "new"}, .fds = {{3, "src", O_PATH}}, .out = "/dev/fd/3 file not found.\n", .status = 1, .files = {{"new", "<absent>"}}},
        {.name = "file_of_standard_output_through_a_mirror", .args = {"-e", "src", "mirror/f"}, .fds = {{1, "lower/f"}}, .needs = need::bindfs, .files = {{"lower/f", "<encoded>"}}},
        {.name = "file_of_read_only_standard_output", .args = {"-e", "src", "log"}, .fds = {{1, "log", O_RDONLY}}, .files = {{"log", "<encoded>"}}},
        {.name = "source_by_its_name_not_standard_input", .args = {"-e", "src", "new"}, .fds = {{0, "src", O_RDONLY, 10}}, .out = ok, .files = {{"new", "<encoded>"}}},
        {.name = "descriptor_not_standard_output", .args = {"-e", "src", "/dev/fd/3"}, .fds = {{1, "log", O_RDWR, 0}, {3, "log", appending}}, .before = keep, .files = {{"log", keep + "<encoded>"}}},
        {.name = "standard_error_not_standard_output", .args = {"-e", "src", "/dev/stderr"}, .fds = {{1, "log", O_RDWR, 0}, {2, "log", appending}}, .before = keep, .files = {{"log", keep + "<encoded>"}}},
        {.name = "descriptor_not_standard_input", .args = {"-e", "/dev/fd/3", "new"}, .fds = {{0, "src", O_RDONLY, 10}, {3, "src", O_RDONLY, 0}}, .out = ok, .files = {{"new", "<encoded>"}}},

        // At a terminal, a long run shows how far it is; the test reads the destination, a FIFO,
        // as slowly as it wants.
        {.name = "progress", .args = {"-e", "big", "fifo"}, .run = terminal, .during = watch, .out = progress + "OK.\r\n"},
        {.name = "progress_as_far_as_it_fits", .args = {"-e", "big", "fifo"}, .run = {.terminal = 19, .term = "xterm"}, .during = watch, .out = progress + "OK.\r\n"},
        {.name = "progress_then_a_failed_write", .args = {"-e", "big", "fifo"}, .run = terminal, .during = watch_then_leave, .out = progress + "Can't write fifo file.\r\n", .status = 1},
        {.name = "progress_then_sigint", .args = {"-e", "big", "fifo"}, .run = terminal, .during = watch, .sig = SIGINT, .out = "Encode...<progress>\r\n", .status = 128 + SIGINT},
        {.name = "no_progress_where_the_bytes_do_not_fit", .args = {"-e", "big", "fifo"}, .run = {.terminal = 18, .term = "xterm"}, .during = watch, .out = "Encode...OK.\r\n"},
        {.name = "no_progress_on_a_dumb_terminal", .args = {"-e", "big", "fifo"}, .run = {.terminal = 80, .term = "dumb"}, .during = watch, .out = "Encode...OK.\r\n"},
        {.name = "no_progress_without_term", .args = {"-e", "big", "fifo"}, .run = {.terminal = 80, .term = ""}, .during = watch, .out = "Encode...OK.\r\n"},
        {.name = "no_progress_in_a_short_run", .args = {"-e", "src", "fifo"}, .run = terminal, .during = streams, .out = "Encode...OK.\r\n"},
        {.name = "no_progress_to_a_pipe", .args = {"-e", "src", "fifo"}, .run = {.term = "xterm"}, .during = streams, .out = ok},
    };
    for (const auto& [option, name] : {std::pair{"-x", "x"}, {"--e", "two_dashes"}, {"-encode", "word"}, {"-e1", "more"}, {"e", "no_dash"}, {"", "none"}})
        all.push_back({.name = std::string("unknown_option_") + name, .args = {option, "src", "old"}, .out = "unknown option '" + std::string(option) + "'\n", .status = 2, .untouched = true});
    // A file the new contents are copied into (a second name of old), which a signal left to its
    // default action would leave with a part of them.
    // Every signal whose default action ends a process, as this test knows them: all but SIGKILL,
    // the two that stand for a failed write, and those that report a fault in the process itself.
    const std::set<int> others = {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH, SIGPIPE, SIGXFSZ, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS};
    for (int sig = 1; sig <= SIGRTMAX; ++sig)
        if (!others.contains(sig) && (sig < 32 || sig >= SIGRTMIN))
            all.push_back({.name = "stopped_by_signal_" + std::to_string(sig), .args = {"-e", "in", "twin"}, .during = stall, .sig = sig, .status = 128 + sig, .files = {{"twin", "<data old>"}}});
    return all;
}
// clang-format on

} // namespace

INSTANTIATE_TEST_SUITE_P(Each, Cli, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<cli_case>& row) {
                             return row.param.name;
                         });
