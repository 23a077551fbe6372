// Command-line cases that need POSIX: special files, resource limits and
// standard output on a full disk.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

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
    if (r.status == cannot_drop_root_override) {
        const char* ci = std::getenv("CI");
        const std::string why = "root cannot give up its power over file modes here";
        if (ci != nullptr && std::string(ci) == "true") FAIL() << why;
        GTEST_SKIP() << why;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(path), frame);
}

// The file is settled first; a lost report then turns success into 6,
// while a failed rewrite still ends with 5.
TEST(cli, lost_report_is_status_6) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    const struct {
        bytes before;
        long long size_limit;
        int status;
        bytes after;
    } runs[] = {
        {frame, -1, 6, repaired(frame, 20)},
        {repaired(frame, 20), -1, 6, repaired(frame, 20)},
        {frame, static_cast<long long>(frame.size()), 5, frame},
    };
    for (const auto& run : runs) {
        write_file(path, run.before);
        const run_result r = run_dhtfix({path}, {.file_size = run.size_limit, .out_file = "/dev/full"});
        EXPECT_EQ(r.status, run.status);
        EXPECT_EQ(read_file(path), run.after) << "status " << run.status;
    }
}

TEST(cli, special_files_end_at_once) {
    scratch_dir dir;
    const std::string fifo = dir.path("fifo"), odd = dir.path("-odd name.jpg"),
                      target = dir.path("target.jpg"), link = dir.path("link.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    write_file(odd, frame);
    write_file(target, frame);
    std::filesystem::create_symlink(target, link);

    EXPECT_EQ(run_dhtfix({fifo}).status, 3);
    EXPECT_EQ(run_dhtfix({"/dev/null"}).status, 4);
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

}  // namespace
