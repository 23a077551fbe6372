#include <array>
#include <csignal>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "markers.h"

namespace {

// Under every file-size limit that stops the rewrite part way, the run must
// report failure and leave the file exactly as it was; a limit that fits the
// repaired file lets it through. Both with SIGXFSZ ignored by the parent and
// with its default action, which would kill an unprotected rewrite halfway.
TEST(fault, size_limit_never_leaves_a_partial_file) {
    const bytes frame = frame_of(300);
    const long long size = static_cast<long long>(frame.size());
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    for (const bool ignore : {true, false}) {
        for (long long limit = size; limit <= size + 420; ++limit) {
            write_file(path, frame);
            const run_result r = run_dhtfix({path}, {.file_size = limit, .ignore_sigxfsz = ignore});
            const bool fits = limit == size + 420;
            ASSERT_EQ(r.status, fits ? 0 : 5) << "limit " << limit << ", SIGXFSZ ignored: " << ignore;
            ASSERT_EQ(read_file(path), fits ? repaired(frame, 20) : frame) << "limit " << limit;
            ASSERT_EQ(r.out, "read " + std::to_string(size) + " bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
        }
    }
}

// A signal that arrives while the file is being rewritten must not end the
// run between the two writes. The kill times are spread over the run, so
// some land in the rewrite; whatever they hit, the file is either whole and
// repaired or untouched. Besides SIGTERM, the real-time signals that the C
// libraries keep for themselves and leave out of a filled mask: 32, 33
// with glibc, 34 with musl (kill -RTMIN).
TEST(fault, a_signal_never_leaves_a_partial_file) {
    bytes large = frame_of(48 << 20);
    for (std::size_t i = 25; i < large.size(); i += 4099) large[i] = static_cast<std::uint8_t>(i);
    const bytes done = repaired(large, 20);
    scratch_dir dir;
    const std::string path = dir.path("large.jpg");
    int interrupted = 0;
    for (int delay_us = 0; delay_us <= 40000; delay_us += 1000) {
        const int signal = std::array{SIGTERM, 32, 33, 34}[static_cast<std::size_t>(delay_us / 1000 % 4)];
        write_file(path, large);
        const running_dhtfix child = start_dhtfix({path});
        usleep(static_cast<useconds_t>(delay_us));
        kill(static_cast<pid_t>(child.process), signal);
        const run_result r = finish(child);
        const bytes after = read_file(path);
        ASSERT_TRUE(after == large || after == done)
            << "partial file after signal " << signal << " at " << delay_us << " us";
        ASSERT_TRUE(r.status == 0 || r.status == 128 + signal) << "status " << r.status;
        interrupted += r.status != 0;
    }
    EXPECT_GT(interrupted, 0) << "no run was interrupted: the file is too small for this machine";
}

// When the undo fails too, the run must not call the file unchanged. A
// file sealed against shrinking cannot be cut back after a size limit
// stopped the rewrite part way: it is damaged, and the status says so.
TEST(fault, file_that_cannot_be_put_back_is_status_7) {
    const bytes frame = frame_of(300);
    const int fd = memfd_create("sealed.jpg", MFD_ALLOW_SEALING);
    if (fd < 0) SKIP_UNLESS_CI("no memfd_create here");
    ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    ASSERT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK), 0);
    const long long limit = static_cast<long long>(frame.size()) + 100;
    const run_result r = run_dhtfix({"/proc/self/fd/" + std::to_string(fd)}, {.file_size = limit});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "read " + std::to_string(frame.size()) + " bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
    bytes after(frame.size() + 200);
    after.resize(static_cast<std::size_t>(pread(fd, after.data(), after.size(), 0)));
    EXPECT_TRUE(after == slice(repaired(frame, 20), 0, static_cast<std::size_t>(limit)))
        << "not the part-way rewrite: " << after.size() << " bytes";
    close(fd);
}

}  // namespace
