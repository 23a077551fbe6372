#include <array>
#include <filesystem>
#include <string>
#include <vector>
#include <csignal>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
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
        // Below the file's size too: the rewrite stops where the limit is,
        // every byte it wrote goes back, and the file never grew.
        std::vector<long long> limits{1, 21, size / 2};
        for (long long limit = size; limit <= size + 420; ++limit) limits.push_back(limit);
        for (const long long limit : limits) {
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
    // Every original byte went back; only the cut of what the rewrite added
    // was refused.
    EXPECT_TRUE(after == frame + slice(repaired(frame, 20), frame.size(), static_cast<std::size_t>(limit)))
        << "not the original and the part-way rewrite's tail: " << after.size() << " bytes";
    close(fd);
}

struct filesystem_fault {
    const char* fault;  // as faulty_fs takes it
    long long amount;
    int status;
};

// A filesystem that fails the way failing media and network mounts do:
// a read that reports the end early (by 1 byte up to 4 MiB), a short read
// followed by EIO, a file that grows between its size and its read, one
// that another program writes to after the read, and writes that make no
// progress. None may cost a byte, and no run may hang.
TEST(fault, a_failing_filesystem_never_costs_a_byte) {
    if (std::string(DHTFIX_FAULTY_FS).empty())
        SKIP_UNLESS_CI("built without libfuse3 (apt-get install libfuse3-dev fuse3)");
    if (access("/dev/fuse", R_OK | W_OK) != 0) SKIP_UNLESS_CI("no /dev/fuse here (needs root)");
    const bytes frame = frame_of(5 << 20);
    const filesystem_fault faults[] = {
        {"short", 1, 4},        {"short", 4096, 4},   {"short", 50000, 4}, {"short", 4 << 20, 4},
        {"short-eio", 4096, 4}, {"grow", 1000, 4},    {"touch", 0, 5},     {"no-writes", 0, 5},
    };
    for (const filesystem_fault& f : faults) {
        SCOPED_TRACE(std::string(f.fault) + " " + std::to_string(f.amount));
        scratch_dir dir;
        const std::string backing = dir.path("backing.jpg"), mount_point = dir.path("mnt");
        write_file(backing, frame);
        std::filesystem::create_directory(mount_point);
        const std::string amount = std::to_string(f.amount);
        const pid_t fs = fork();
        if (fs == 0) {
            execl(DHTFIX_FAULTY_FS, "faulty_fs", backing.c_str(), mount_point.c_str(), f.fault, amount.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string path = mount_point + "/frame.jpg";
        bool mounted = false;
        for (int i = 0; i < 500 && !mounted; ++i) {
            mounted = access(path.c_str(), F_OK) == 0;
            if (!mounted) usleep(10000);
        }
        run_result r{-1, ""};
        if (mounted) {
            const running_dhtfix child = start_dhtfix({path});
            // A run that spins is ended here, and fails the test.
            int waited = 0;
            while (still_running(child) && waited < 2000) {
                usleep(10000);
                ++waited;
            }
            if (waited == 2000) kill(static_cast<pid_t>(child.process), SIGKILL);
            r = finish(child);
        }
        umount2(mount_point.c_str(), MNT_DETACH);
        kill(fs, SIGTERM);
        waitpid(fs, nullptr, 0);
        ASSERT_TRUE(mounted) << "faulty_fs did not mount";
        EXPECT_EQ(r.status, f.status) << r.out;
        const bytes grown = std::string(f.fault) == "grow" ? frame + bytes(1000, 'x') : frame;
        EXPECT_TRUE(read_file(backing) == grown) << "the file changed";
    }
}

}  // namespace
