#include "codec/transcode.hpp"
#include "memory_streams.hpp"
#include "test_support.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace morvask;
using namespace test;

// The table is the file format: files encoded before must decode after.
TEST(SubstitutionTables, EncodingOfEveryByteValueIsPinned)
{
    std::string every_byte(256, '\0');
    for (std::size_t i = 0; i < every_byte.size(); ++i)
        every_byte[i] = static_cast<char>(i);
    std::string golden;
    for (const char* hex = "511d4365ce95bf8ce3ffc522b48fc8864f0a14e1c309bef3cbb5ef4c335097b6"
                           "9ffa7af841a282eaab679327969ae9ae7d052b0cd6e76976714048a117a7c6db"
                           "1b0f15ca630b4257bc9cee1ecd2d2a1a387bf2fb0879fd37ad7eb3255af43a06"
                           "305dccbbd52146dc34c02970f53fedafcff6a5b990609288bd59584bf1e0d36a"
                           "c284a96f18ec3e45496e353d749e9d7fa0e452b1e8a636328bf791a894d4002e"
                           "814e83de0244e656b880c428f062121061d713eb5c8e2c894dd9645e6bd1c904"
                           "ac9b233b7cd06c542668d2fc398d3107ba5355b20d2f87240185a4b0193c5fd8"
                           "0e7598e5208a471cda6d77f9e272991f4ac7fedfa373b7035b117866aa16ddc1";
         *hex != '\0'; hex += 2)
        golden += static_cast<char>(std::stoi(std::string(hex, 2), nullptr, 16));

    EXPECT_EQ(transcode(encode_table, every_byte), golden);
    EXPECT_EQ(transcode(decode_table, golden), every_byte);
}

// A signal that interrupts a pipe read or write makes it fail with EINTR, or return short once
// some bytes have moved; neither may lose or repeat a byte. The writer and the reader are other
// processes, not threads: under qemu-i386, which keeps one descriptor table for all the threads, a
// thread that returns from a signal handler takes up the thread-local storage of the thread
// created last (then pthread_join takes the reader for the thread that calls it).
TEST(TranscodeStream, InterruptedReadsAndWritesLoseNothing)
{
    const std::string input = test::random_bytes(4 * stream_buffer_size + 9);
    int in[2];
    int out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    const int got = memory_file("");

    // Pauses leave reads waiting on an empty pipe; 128 KiB flushes into a 64 KiB pipe block writes.
    // A child has no interval timer of its parent's, so only the transcoding is interrupted.
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::close(in[0]);
        ::close(out[0]);
        ::close(out[1]);
        feed_in_pieces(in[1], input, 4099, std::chrono::microseconds(200)).join();
        ::_exit(0);
    }
    const pid_t reader = ::fork();
    if (reader == 0) {
        ::close(in[0]);
        ::close(in[1]);
        ::close(out[1]);
        const std::string bytes = test::drain(out[0]);
        ::_exit(::write(got, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) ? 0
                                                                                               : 1);
    }
    ::close(in[1]);
    ::close(out[0]);

    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {}; // no SA_RESTART, so blocked calls return early
    struct sigaction previous {};
    ::sigaction(SIGALRM, &interrupt, &previous);
    const itimerval every_50us{{0, 50}, {0, 50}};
    ::setitimer(ITIMER_REAL, &every_50us, nullptr);
    {
        streams s(in[0], out[1]);
        s.transcode(encode_table);
        EXPECT_FALSE(s.source->error);
        EXPECT_TRUE(flush(*s.destination));
    }
    const itimerval stop{};
    ::setitimer(ITIMER_REAL, &stop, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
    for (const pid_t child : {writer, reader}) {
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }
    EXPECT_EQ(contents(got), test::substitute(encode_table, input));
    ::close(got);
}

TEST(TranscodeStream, FailedWriteEndsTheLoopAtOnce)
{
    const std::size_t size = 8 * stream_buffer_size;
    streams s(memory_file(test::random_bytes(size)), ::open("/dev/full", O_WRONLY));
    s.transcode(encode_table);
    EXPECT_TRUE(s.destination->error);
    EXPECT_FALSE(s.source->error);
    // Had the loop gone on, it would have read the whole source.
    EXPECT_LE(::lseek(s.source->fd, 0, SEEK_CUR), static_cast<off_t>(2 * stream_buffer_size));
}

TEST(TranscodeStream, FailedReadIsFlaggedAndNothingIsWritten)
{
    streams s(::open(".", O_RDONLY | O_DIRECTORY), memory_file(""));
    s.transcode(encode_table);
    EXPECT_TRUE(s.source->error);
    EXPECT_TRUE(flush(*s.destination));
    EXPECT_EQ(contents(s.destination->fd), "");
}
