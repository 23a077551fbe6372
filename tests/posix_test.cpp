// Command-line cases that need POSIX: special files, resource limits and
// standard output on a full disk.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>
#include <fstream>

#include <gtest/gtest.h>

#include "markers.h"

namespace {

const bytes& frame = bare_frame;  // DQT at 0x14

TEST(cli, read_only_file_is_refused_even_for_root) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, frame);
    chmod(path.c_str(), 0444);
    const run_result r = run_dhtfix({path}, {.obey_file_modes = true});
    if (r.status == cannot_drop_root_override) SKIP_UNLESS_CI("root cannot give up its power over file modes here");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(path), frame);
}

// The file is settled first; a lost report then turns success into 6,
// while a failed rewrite still ends with 5. A closed standard output is a
// lost report too, and the file must not take its place and the lines.
TEST(cli, lost_report_is_status_6) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    const struct {
        bytes before;
        long long size_limit;
        bool closed;
        int status;
        bytes after;
    } runs[] = {
        {frame, -1, false, 6, repaired(frame, 20)},
        {repaired(frame, 20), -1, false, 6, repaired(frame, 20)},
        {frame, static_cast<long long>(frame.size()), false, 5, frame},
        {frame, -1, true, 6, repaired(frame, 20)},
        {repaired(frame, 20), -1, true, 6, repaired(frame, 20)},
    };
    for (const auto& run : runs) {
        write_file(path, run.before);
        const run_result r = run_dhtfix(
            {path}, {.file_size = run.size_limit, .out_file = run.closed ? "" : "/dev/full", .close_stdout = run.closed});
        EXPECT_EQ(r.status, run.status);
        EXPECT_EQ(read_file(path), run.after) << "status " << run.status << ", closed: " << run.closed;
    }
}

// Another run holds the file: this one waits, then finds the tables.
TEST(cli, waits_for_the_lock_of_another_run) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, frame);
    const int held = open(path.c_str(), O_RDWR | O_CLOEXEC);  // not the child's too
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const running_dhtfix child = start_dhtfix({path});
    usleep(300000);
    EXPECT_EQ(waitpid(static_cast<pid_t>(child.process), nullptr, WNOHANG), 0) << "did not wait for the lock";
    EXPECT_EQ(read_file(path), frame);
    close(held);
    const run_result r = finish(child);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "read 117 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
    EXPECT_EQ(read_file(path), repaired(frame, 20));
}

// A file that the repair would take to 2 GiB or more is left as it is: a
// second run could not load it. Sparse, with its tables-less frame at the
// start and its EOI at the end.
TEST(cli, repair_that_would_reach_2_gib_is_status_3) {
    scratch_dir dir;
    const std::string path = dir.path("sparse.jpg");
    const long long size = (1ll << 31) - 100;
    write_file(path, slice(frame, 0, frame.size() - 2));
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size - 2));
    {
        std::ofstream end(path, std::ios::binary | std::ios::app);
        end.write("\xFF\xD9", 2);
    }
    const run_result r = run_dhtfix({path});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "read " + std::to_string(size) + " bytes\n");
    EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(size));
    bytes head(frame.size());
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    EXPECT_TRUE(slice(head, 0, frame.size() - 2) == slice(frame, 0, frame.size() - 2)) << "the start was written";
}

// A lock that another program keeps past the wait leaves the file as it
// is; the run goes on to its next path.
TEST(cli, a_lock_held_too_long_is_status_5) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg"), other = dir.path("other.jpg");
    write_file(path, frame);
    write_file(other, frame);
    const int held = open(path.c_str(), O_RDONLY | O_CLOEXEC);  // a reader's shared lock holds it too
    ASSERT_EQ(flock(held, LOCK_SH), 0);
    setenv("DHTFIX_LOCK_WAIT", "1", 1);
    const run_result r = run_dhtfix({path, other});
    unsetenv("DHTFIX_LOCK_WAIT");
    close(held);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, other + ": read 117 bytes\n" + other + ": FF DB/DQT tag ofs: 14; adding DHT\n");
    EXPECT_EQ(read_file(path), frame);
    EXPECT_EQ(read_file(other), repaired(frame, 20));
}

// Started together, through two names of one file: one repairs it, the
// other then finds the tables. Large, so that an unlocked read would see
// the other run's rewrite under way.
TEST(cli, two_runs_at_once_repair_once) {
    bytes large = frame_of(64 << 20);
    for (std::size_t i = 200; i < large.size(); i += 4093) large[i] = static_cast<std::uint8_t>(i);
    const bytes done = repaired(large, 20);
    const std::string added = "read 67108981 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n",
                      nothing = "read 67109401 bytes\nFF C4/DHT tag ofs: 15; nothing to do\n";
    scratch_dir dir;
    const std::string path = dir.path("large.jpg"), other = dir.path("link.jpg");
    write_file(path, large);
    std::filesystem::create_hard_link(path, other);
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt > 0) write_file(path, large);
        const running_dhtfix a = start_dhtfix({path}), b = start_dhtfix({attempt % 2 ? other : path});
        const run_result ra = finish(a), rb = finish(b);
        ASSERT_EQ(ra.status, 0);
        ASSERT_EQ(rb.status, 0);
        ASSERT_TRUE((ra.out == added && rb.out == nothing) || (ra.out == nothing && rb.out == added))
            << ra.out << rb.out;
        ASSERT_TRUE(read_file(path) == done) << "attempt " << attempt;
    }
}

// A rewrite that would not fit in the space left is never started, even
// where an in-place write would need only 420 more bytes: a filesystem
// that copies on write needs room for all of it, and the line says how
// much. With room, it goes ahead; a small frame beside it always has room.
TEST(cli, rewrite_without_room_is_not_started) {
    scratch_dir dir, logs;
    const std::string mount_point = dir.path("small");
    std::filesystem::create_directory(mount_point);
    if (mount("dhtfix-test", mount_point.c_str(), "tmpfs", 0, "size=512k") != 0)
        SKIP_UNLESS_CI("cannot mount a tmpfs here (needs root)");
    const bytes large = frame_of(200 << 10);
    const std::string path = mount_point + "/frame.jpg", filler = mount_point + "/filler";
    for (const bool room : {false, true}) {
        write_file(path, large);
        write_file(mount_point + "/small.jpg", frame);
        write_file(filler, zeros(room ? 0 : 212 << 10));  // leaves about 100 KiB
        struct stat before {}, after {};
        stat(path.c_str(), &before);
        const run_result r = run_dhtfix({"frame.jpg", "small.jpg"},
                                        {.directory = mount_point, .err_file = logs.path("err")});
        stat(path.c_str(), &after);
        EXPECT_EQ(r.out, "frame.jpg: read 204917 bytes\nframe.jpg: FF DB/DQT tag ofs: 14; adding DHT\n"
                         "small.jpg: read 117 bytes\nsmall.jpg: FF DB/DQT tag ofs: 14; adding DHT\n");
        EXPECT_EQ(r.status, room ? 0 : 5);
        const bytes err = read_file(logs.path("err"));
        EXPECT_EQ(std::string(err.begin(), err.end()),
                  room ? "" : "dhtfix: frame.jpg: not enough free space for the rewrite (205317 bytes needed); "
                              "nothing was written (status 5)\n");
        EXPECT_TRUE(read_file(path) == (room ? repaired(large, 20) : large)) << "room: " << room;
        EXPECT_EQ(read_file(mount_point + "/small.jpg"), repaired(frame, 20));
        if (!room) {
            EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
            EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << "the file was written";
        }
    }
    umount2(mount_point.c_str(), MNT_DETACH);
}

TEST(cli, special_files_end_at_once) {
    scratch_dir dir;
    const std::string fifo = dir.path("fifo"), odd = dir.path("-odd name.jpg"),
                      target = dir.path("target.jpg"), link = dir.path("link.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    write_file(odd, frame);
    write_file(target, frame);
    std::filesystem::create_symlink(target, link);

    // Refused unread: a FIFO would hold the open, a device could be read
    // for ever or changed by the write.
    for (const std::string& special : {fifo, std::string("/dev/null"), std::string("/dev/zero"), dir.root + "/."})
        EXPECT_EQ(run_dhtfix({special}).status, special == dir.root + "/." ? 1 : 3) << special;
    EXPECT_EQ(run_dhtfix({"-odd name.jpg"}, {.directory = dir.root}).status, 0);
    EXPECT_EQ(read_file(odd), repaired(frame, 20));
    EXPECT_EQ(run_dhtfix({link}).status, 0);
    EXPECT_EQ(read_file(target), repaired(frame, 20));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
}


TEST(cli, no_memory_for_the_file_is_status_3) {
#ifdef DHTFIX_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory cannot start under an address-space limit";
#endif
    scratch_dir dir;
    const std::string path = dir.path("sparse.jpg");
    write_file(path, dqt_head);
    std::filesystem::resize_file(path, 256 << 20);
    const run_result r = run_dhtfix({path}, {.address_space = 64 << 20});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::filesystem::file_size(path), 256u << 20);
}

// A reader that stopped reading holds the run in the write of its lines;
// signals are not held there, so a kill ends it, and the file it was on is
// whole.
TEST(cli, a_kill_ends_a_run_blocked_on_its_lines) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, frame);
    // Far more lines than a pipe holds.
    const std::vector<std::string> paths(2000, path);
    const running_dhtfix child = start_dhtfix(paths);
    usleep(500000);
    EXPECT_TRUE(still_running(child)) << "not blocked on its lines";
    kill(static_cast<pid_t>(child.process), SIGTERM);
    const run_result r = finish(child);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(read_file(path), repaired(frame, 20));
}

// Several paths under faults that only POSIX can set up: a size limit that
// fails one rewrite, and a reader that is gone before the first line, which
// ends the run once the first file is whole and leaves the rest alone.
TEST(cli, several_paths_under_faults) {
    const bytes big = frame_of(400);
    const struct {
        child_setup setup;
        int status;
        std::string err;
        bytes a, b;
    } runs[] = {
        {{.file_size = 600}, 5, "dhtfix: big.jpg: the rewrite failed (" + std::string(std::strerror(EFBIG)) + "); it is as it was (status 5)\n",
         repaired(frame, 20), big},
        {{.broken_pipe = true}, 128 + SIGPIPE, "", repaired(frame, 20), big},
    };
    for (auto run : runs) {
        scratch_dir dir, logs;
        write_file(dir.path("a.jpg"), frame);
        write_file(dir.path("big.jpg"), big);
        run.setup.directory = dir.root;
        run.setup.err_file = logs.path("err");
        const run_result r = run_dhtfix({"a.jpg", "big.jpg"}, run.setup);
        EXPECT_EQ(r.status, run.status);
        const bytes err = read_file(logs.path("err"));
        EXPECT_EQ(std::string(err.begin(), err.end()), run.err);
        EXPECT_EQ(read_file(dir.path("a.jpg")), run.a);
        EXPECT_EQ(read_file(dir.path("big.jpg")), run.b);
    }
}

// Every file is closed before the next is opened: far more paths than the
// run may hold descriptors.
TEST(cli, two_thousand_paths_with_few_descriptors) {
    scratch_dir dir;
    std::vector<std::string> names;
    std::string out;
    for (int i = 0; i < 2000; ++i) {
        const std::string name = std::to_string(i).append(".jpg");
        names.push_back(name);
        write_file(dir.path(name), frame);
        for (const char* line : {": read 117 bytes\n", ": FF DB/DQT tag ofs: 14; adding DHT\n"}) out.append(name).append(line);
    }
    const run_result r = run_dhtfix(names, {.directory = dir.root, .open_files = 16});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    for (const std::string& name : names) ASSERT_EQ(read_file(dir.path(name)), repaired(frame, 20)) << name;
}

// A live camera stays live through dhtcat: a frame leaves before the next
// one is sent.
TEST(dhtcat, a_frame_leaves_before_the_next_arrives) {
    child_setup setup;
    setup.program = "dhtcat";
    setup.input_pipe = true;
    const running_dhtfix child = start_dhtfix({"-q"}, setup);
    ASSERT_TRUE(write_to(child.in, bare_frame.data(), bare_frame.size()));
    bytes first;
    const bytes fixed = repaired(bare_frame, 20);
    while (first.size() < fixed.size()) {
        pollfd ready{child.out, POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 5000), 1) << "the first frame did not come out within 5 s";
        std::uint8_t chunk[4096];
        const ssize_t n = read(child.out, chunk, sizeof chunk);
        ASSERT_GT(n, 0);
        first.insert(first.end(), chunk, chunk + n);
    }
    EXPECT_EQ(first, fixed);
    ASSERT_TRUE(write_to(child.in, bare_frame.data(), bare_frame.size()));
    close_pipe(child.in);
    const run_result rest = finish(child);
    EXPECT_EQ(rest.status, 0);
    EXPECT_EQ(bytes(rest.out.begin(), rest.out.end()), fixed);
}

// A reader that goes away ends dhtcat as SIGPIPE does, quietly; an input
// that cannot be opened is status 1, and the others are still copied.
TEST(dhtcat, ends_quietly_when_the_reader_goes_and_names_what_it_cannot_open) {
    scratch_dir dir, logs;
    bytes stream;
    for (int i = 0; i < 200; ++i) stream = stream + bare_frame;
    child_setup gone;
    gone.broken_pipe = true;
    gone.err_file = logs.path("err");
    const run_result r = run_with_input("dhtcat", {"-q"}, stream, 0, gone);
    EXPECT_EQ(r.status, 128 + SIGPIPE);
    EXPECT_EQ(read_file(logs.path("err")), bytes{});
    write_file(dir.path("a.mjpg"), bare_frame);
    child_setup here;
    here.program = "dhtcat";
    here.directory = dir.root;
    const run_result missing = run_dhtfix({"-q", "missing.mjpg", "a.mjpg"}, here);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(bytes(missing.out.begin(), missing.out.end()), repaired(bare_frame, 20));
}

}  // namespace
