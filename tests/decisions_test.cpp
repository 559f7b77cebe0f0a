#include "cli/caller_descriptors.hpp"
#include "cli/old_file.hpp"
#include "cli/path_parts.hpp"
#include "cli/permissions.hpp"
#include "cli/progress.hpp"

#include <gtest/gtest.h>
#include <string>

using namespace morvask;

// The bits a created copy gets from its source's mode, the umask (which the kernel applies to what
// the tool asks for) and who the copy's group is to the source.
TEST(Decisions, CopyMode)
{
    using enum copy_group;
    const struct {
        mode_t source, umask;
        copy_group group;
        mode_t copy;
    } rows[] = {
        {S_IFREG | 0600, 022, sources, 0600},  {S_IFREG | 0640, 022, sources, 0640},
        {S_IFREG | 0666, 022, sources, 0644},  {S_IFREG | 0755, 022, sources, 0755},
        {S_IFREG | 0755, 077, sources, 0700},  {S_IFREG | 0644, 0, sources, 0644},
        {S_IFREG | 0407, 022, sources, 0605},  {S_IFREG | 0666, 0, sources, 0666},
        {S_IFREG | 0777, 0, sources, 0777},    {S_IFREG | 0620, 0, sources, 0620},
        {S_IFREG | 0000, 0, sources, 0600},    {S_IFREG | 06755, 0, sources, 0755},
        {S_IFIFO | 0666, 0, sources, 0600},    {S_IFSOCK | 0777, 0, sources, 0600},
        {S_IFREG | 0664, 0, another, 0644},    {S_IFREG | 0624, 0, another, 0604},
        {S_IFREG | 0677, 0, another, 0677},    {S_IFREG | 0640, 0, another, 0600},
        {S_IFREG | 0640, 022, acl_mask, 0600}, {S_IFREG | 0666, 0, acl_mask, 0606},
    };
    for (const auto& r : rows)
        EXPECT_EQ(group_limited(creation_mode(r.source) & ~r.umask, r.group), r.copy)
            << std::oct << r.source << " under " << r.umask;
}

// The directory copied out, up to the longest that opens, and the name after the last slash.
TEST(Decisions, SplitPath)
{
    const std::string longest(PATH_MAX - 1, 'd');
    const struct {
        std::string path;
        const char* directory; // nullptr: too long
        const char* name;
    } rows[] = {
        // clang-format off
        {"name", ".", "name"}, {"/name", "/", "name"}, {"a/b/c", "a/b", "c"},
        {"dir/", "dir", ""}, {"", ".", ""}, {"//x", "/", "x"},
        {longest + "/n", longest.c_str(), "n"}, {longest + "d/n", nullptr, nullptr},
        // clang-format on
    };
    for (const auto& r : rows) {
        char directory[PATH_MAX];
        const char* const name = split_path(r.path.c_str(), directory);
        EXPECT_STREQ(name, r.name) << r.path.size();
        EXPECT_TRUE(name == nullptr || directory == std::string(r.directory)) << r.path.size();
    }
}

TEST(Decisions, DescriptorSpelt)
{
    const struct {
        const char* path;
        int fd;
    } rows[] = {
        // clang-format off
        {"/dev/stdin", 0}, {"/dev/stdout", 1}, {"/dev/stderr", 2}, {"/dev/fd/3", 3},
        {"/dev/fd/0", 0}, {"/proc/self/fd/12", 12}, {"/proc/thread-self/fd/4", 4}, {"/dev/fd/03", -1},
        {"/dev/fd/", -1}, {"/dev/fd/3x", -1}, {"/dev/fd/-1", -1}, {"/dev/fd/99999999999", -1},
        {"/dev/stdout/", -1}, {"dev/stdout", -1}, {"/dev/./stdout", -1},
        // clang-format on
    };
    for (const auto& r : rows)
        EXPECT_EQ(descriptor_spelt(r.path), r.fd) << r.path;
}

// Three figures in binary units; the share done, the rate and the time left rounded as shown; as
// many figures as fit before the last column.
TEST(Decisions, ProgressLine)
{
    constexpr std::uint64_t KiB = 1024, MiB = KiB * KiB;
    const struct {
        std::uint64_t done, size;
        double seconds;
        std::size_t columns;
        const char* line;
    } rows[] = {
        {1536, 4 * KiB, 1, 80, "Encode... 1.50 KiB of 4.00 KiB (37%), 1.50 KiB/s, 0:00:02 left"},
        {31 * MiB / 2, 150 * MiB, 1, 80,
         "Encode... 15.5 MiB of 150 MiB (10%), 15.5 MiB/s, 0:00:09 left"},
        {3 * KiB * MiB, 4 * MiB * MiB, 3, 80,
         "Encode... 3.00 GiB of 4.00 TiB (0%), 1.00 GiB/s, 1:08:13 left"},
        {512, 0, 2, 80, "Encode... 512 B, 256 B/s"},
        {5000, 4 * KiB, 1, 80, "Encode... 4.88 KiB, 4.88 KiB/s"},
        {1, MiB * MiB, 10, 80, "Encode... 1 B of 1.00 TiB (0%), 0 B/s"},
        {1024, 4 * KiB, 0, 80, "Encode... 1.00 KiB of 4.00 KiB (25%)"},
        {1536, 4 * KiB, 1, 40, "Encode... 1.50 KiB of 4.00 KiB (37%)"},
        {1536, 4 * KiB, 1, 19, "Encode... 1.50 KiB"},
        {1536, 4 * KiB, 1, 18, "Encode..."},
    };
    for (const auto& r : rows) {
        char line[progress_line_size];
        progress_line(line, "Encode...", r.done, r.size, r.seconds, r.columns);
        EXPECT_STREQ(line, r.line);
    }
}

// An existing destination is replaced by a new file only where that would still be the file its
// name held, and gets the new contents copied in otherwise; the refusal of a right puts it on
// another road, any other failure fails the run.
TEST(Decisions, RoadOfAnExistingFile)
{
    const struct {
        existing_file file;
        road taken;
    } rows[] = {
        // clang-format off
        {{1, true, false, false, false}, road::exchanged}, {{2, true, false, false, false}, road::copied},
        {{1, false, false, false, false}, road::copied}, {{1, true, true, false, false}, road::copied},
        {{1, true, false, true, false}, road::copied}, {{1, true, false, false, true}, road::copied},
        // clang-format on
    };
    for (const auto& r : rows)
        EXPECT_EQ(road_for(r.file), r.taken) << r.file.links << r.file.named_directly;
    for (const int error : {EPERM, EACCES, EROFS, ENOENT, EOPNOTSUPP})
        EXPECT_TRUE(refusal(error)) << error;
    for (const int error : {ENOSPC, EDQUOT, EIO, ENOMEM, EEXIST, EMFILE, E2BIG, EINVAL})
        EXPECT_FALSE(refusal(error)) << error;
}
