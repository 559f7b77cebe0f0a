#pragma once

#include <cerrno>
#include <climits>
#include <cstring>

namespace morvask {

// Whether a lookup that failed with error says the path leads nowhere, rather than that it could
// not be followed (EIO, ENOMEM), where it may lead anywhere.
inline bool leads_nowhere(int error)
{
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == ELOOP ||
           error == ENAMETOOLONG;
}

// The name after path's last slash; directory gets what comes before ("." or "/" where nothing
// does), copied, since the argument is not ours to cut. nullptr where that is too long to open.
inline const char* split_path(const char* path, char (&directory)[PATH_MAX])
{
    const char* const slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(directory, ".");
        return path;
    }
    const auto length = static_cast<std::size_t>(slash == path ? 1 : slash - path);
    if (length >= sizeof directory)
        return nullptr;
    std::memcpy(directory, path, length);
    directory[length] = '\0';
    return slash + 1;
}

} // namespace morvask
