#pragma once

#include "codec/substitution_tables.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

namespace test {

inline std::string random_bytes(std::size_t size, unsigned seed = 1)
{
    // Eight bytes a draw: the command-line tests make megabytes for every case.
    std::mt19937_64 engine(seed);
    std::string bytes(size + sizeof(std::uint64_t), '\0');
    for (std::size_t at = 0; at < size; at += sizeof(std::uint64_t)) {
        const std::uint64_t draw = engine();
        std::memcpy(bytes.data() + at, &draw, sizeof draw);
    }
    bytes.resize(size);
    return bytes;
}

// The definition of the encoded form, byte by byte, to compare the fast path against.
inline std::string substitute(const morvask::substitution_table& table, std::string bytes)
{
    for (char& c : bytes)
        c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return bytes;
}

// Reads fd to its end, then closes it.
inline std::string drain(int fd)
{
    std::string bytes;
    char chunk[65536];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<std::size_t>(got));
    ::close(fd);
    return bytes;
}

// Empty for a file that is not there.
inline std::string read_file(const std::filesystem::path& path)
{
    return drain(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

// Writes bytes to a pipe a piece at a time, pausing after each, then closes it.
inline std::thread feed_in_pieces(int fd, const std::string& bytes, std::size_t piece,
                                  std::chrono::microseconds pause = {})
{
    return std::thread([=, &bytes] {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            (void)::write(fd, bytes.data() + at, std::min(piece, bytes.size() - at));
            std::this_thread::sleep_for(pause);
        }
        ::close(fd);
    });
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// A fresh directory, removed with everything in it at the end of the test.
struct temp_dir {
    std::filesystem::path path;
    temp_dir()
    {
        std::string name =
            (std::filesystem::temp_directory_path() / "morvask-test-XXXXXX").string();
        // A test that went on without its directory would work in, and remove, no one knows what.
        if (::mkdtemp(name.data()) == nullptr) {
            std::perror(("mkdtemp " + name).c_str());
            std::abort();
        }
        path = name;
    }
    ~temp_dir() { std::filesystem::remove_all(path); }
    std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

} // namespace test
