#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "markers.h"

namespace {

struct cli_case {
    const char* name;
    bytes before;
    int status;
    std::string out;
    bytes after;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const cli_case& c, std::ostream* os) { *os << c.name; }

const bytes frame = soi + app0 + dqt_head + zeros(64) + eoi;         // DQT at 0x14
const bytes short_dqt = zeros(49) + bytes{0xFF, 0xDB};               // 51 bytes
const bytes edge_dqt = zeros(50) + bytes{0xFF, 0xDB};                // 52 bytes
const bytes dht_first = bytes{0xFF, 0xC4} + zeros(50) + dqt_head;
const bytes damaged_app = soi + bytes{0xFF, 0xE1, 0xFF, 0xFF} + dqt_head + zeros(50);  // length past the end

const cli_case cli_cases[] = {
    {"empty", {}, 4, "", {}},
    {"one_byte_short", short_dqt, 4, "", short_dqt},
    {"just_long_enough", zeros(52), 0, "read 52 bytes\n", zeros(52)},
    {"dqt_in_last_two_bytes", edge_dqt, 0, "read 52 bytes\nFF DB/DQT tag ofs: 32; adding DHT\n",
     repaired(edge_dqt, 50)},
    {"frame_without_tables", frame, 0, "read 91 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n",
     repaired(frame, 20)},
    {"frame_repaired_before", repaired(frame, 20), 0,
     "read 511 bytes\nFF C4/DHT tag ofs: 15; nothing to do\n", repaired(frame, 20)},
    {"dht_at_start", dht_first, 0, "read 57 bytes\nFF C4/DHT tag ofs: 1; nothing to do\n", dht_first},
    {"damaged_app_segment", damaged_app, 0, "read 61 bytes\n", damaged_app},
    {"dqt_at_offset_0xAB", zeros(0xAB) + dqt_head, 0,
     "read 176 bytes\nFF DB/DQT tag ofs: AB; adding DHT\n", repaired(zeros(0xAB) + dqt_head, 0xAB)},
};

class cli : public testing::TestWithParam<cli_case> {};

TEST_P(cli, status_output_and_file) {
    const cli_case& c = GetParam();
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, c.before);
    const run_result r = run_dhtfix({path});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(read_file(path), c.after);
}

INSTANTIATE_TEST_SUITE_P(files, cli, testing::ValuesIn(cli_cases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(cli, refuses_without_touching_anything) {
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, frame);
    chmod(path.c_str(), 0444);
    const struct {
        std::vector<std::string> args;
        child_setup setup;
    } runs[] = {
        {{}, {}},
        {{dir.path("missing.jpg")}, {}},
        {{dir.root}, {}},
        {{path}, {.obey_file_modes = true}},  // read-only for everyone, root included
    };
    for (const auto& run : runs) {
        const run_result r = run_dhtfix(run.args, run.setup);
        if (r.status == cannot_drop_root_override) {
            const std::string why = "root cannot give up its power over file modes here";
            if (std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true") FAIL() << why;
            GTEST_SKIP() << why;
        }
        EXPECT_EQ(r.status, 1) << (run.args.empty() ? "no argument" : run.args[0]);
        EXPECT_EQ(r.out, "");
    }
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

TEST(cli, uses_only_the_first_argument) {
    scratch_dir dir;
    const std::string first = dir.path("a.jpg"), second = dir.path("b.jpg");
    write_file(first, frame);
    write_file(second, frame);
    EXPECT_EQ(run_dhtfix({first, second, "-x"}).status, 0);
    EXPECT_EQ(read_file(first), repaired(frame, 20));
    EXPECT_EQ(read_file(second), frame);
}

TEST(cli, special_files_end_at_once) {
    scratch_dir dir;
    const std::string fifo = dir.path("fifo"), sparse = dir.path("sparse"),
                      odd = dir.path("-odd name.jpg"), target = dir.path("target.jpg"),
                      link = dir.path("link.jpg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    write_file(sparse, {});
    std::filesystem::resize_file(sparse, (1ull << 31) + 1);  // one byte past the signed length
    write_file(odd, frame);
    write_file(target, frame);
    std::filesystem::create_symlink(target, link);

    EXPECT_EQ(run_dhtfix({fifo}).status, 3);
    EXPECT_EQ(run_dhtfix({sparse}).status, 3);
    EXPECT_EQ(run_dhtfix({"/dev/null"}).status, 4);
    EXPECT_EQ(run_dhtfix({"-odd name.jpg"}, {.directory = dir.root}).status, 0);
    EXPECT_EQ(read_file(odd), repaired(frame, 20));
    EXPECT_EQ(run_dhtfix({link}).status, 0);
    EXPECT_EQ(read_file(target), repaired(frame, 20));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
}

TEST(cli, large_file_is_repaired_exactly) {
    scratch_dir dir;
    const std::string path = dir.path("large.jpg");
    bytes large = zeros(6 << 20) + dqt_head + zeros(1000);
    large[12345] = 0xFF;  // a lone prefix on the way
    write_file(path, large);
    const run_result r = run_dhtfix({path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "read 6292461 bytes\nFF DB/DQT tag ofs: 600000; adding DHT\n");
    EXPECT_TRUE(read_file(path) == repaired(large, 6 << 20));
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
