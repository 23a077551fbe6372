#include <filesystem>
#include <optional>

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

const bytes& frame = bare_frame;                                     // DQT at 0x14
const bytes short_dqt = zeros(49) + bytes{0xFF, 0xDB};               // 51 bytes
const bytes edge_jpeg = soi + bytes{0xFF, 0xDB, 0x00, 0x30} + zeros(46);  // 52 bytes, DQT at 2
const bytes photo = soi + app0 + dqt + dht + sof0 + sos + zeros(8) + eoi;  // its own DHT at 0x59
const bytes damaged_app = soi + bytes{0xFF, 0xE1, 0xFF, 0xFF} + dqt_head + zeros(50);  // length past the end
const bytes text = bytes{'t', 'e', 'x', 't', 0xFF, 0xDB} + zeros(60);
const bytes avi = bytes{'R', 'I', 'F', 'F', 0x00, 0x01, 0x00, 0x00, 'A', 'V', 'I', ' '} + frame;

const cli_case cli_cases[] = {
    {"empty", {}, 4, "", {}},
    {"one_byte_short", short_dqt, 4, "", short_dqt},
    {"just_long_enough", edge_jpeg, 0, "read 52 bytes\nFF DB/DQT tag ofs: 2; adding DHT\n",
     repaired(edge_jpeg, 2)},
    {"frame_without_tables", frame, 0, "read 91 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n",
     repaired(frame, 20)},
    {"frame_repaired_before", repaired(frame, 20), 0,
     "read 511 bytes\nFF C4/DHT tag ofs: 15; nothing to do\n", repaired(frame, 20)},
    {"photo_keeps_its_bytes", photo, 0, "read 155 bytes\nFF C4/DHT tag ofs: 5A; nothing to do\n", photo},
    {"damaged_app_segment", damaged_app, 0, "read 61 bytes\n", damaged_app},
    {"text_with_dqt_pair", text, 0, "read 66 bytes\n", text},
    {"avi_holding_a_frame", avi, 0, "read 103 bytes\n", avi},
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
    const std::string missing = dir.path("missing.jpg");
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {missing}, {dir.root}}) {
        const run_result r = run_dhtfix(args);
        EXPECT_EQ(r.status, 1) << (args.empty() ? "no argument" : args[0]);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(native_path(missing)));
}

// A file in the scratch directory: missing if it has no bytes before, a
// directory if its name ends in '/'.
struct named_file {
    std::string name;
    std::optional<bytes> before;
    bytes after;
};

struct several_case {
    const char* name;
    std::vector<named_file> files;
    std::vector<std::string> args;  // relative to the scratch directory
    int status;
    std::string out, err;
};

void PrintTo(const several_case& c, std::ostream* os) { *os << c.name; }

const std::string repaired_a = "a.jpg: read 91 bytes\na.jpg: FF DB/DQT tag ofs: 14; adding DHT\n";

const several_case several_cases[] = {
    {"repaired_has_tables_missing",
     {{"a.jpg", frame, repaired(frame, 20)}, {"b.jpg", repaired(frame, 20), repaired(frame, 20)}},
     {"a.jpg", "b.jpg", "missing.jpg"}, 1,
     repaired_a + "b.jpg: read 511 bytes\nb.jpg: FF C4/DHT tag ofs: 15; nothing to do\n",
     "dhtfix: missing.jpg: cannot open it for reading and writing (status 1)\n"},
    {"same_file_twice", {{"a.jpg", frame, repaired(frame, 20)}}, {"a.jpg", "a.jpg"}, 0,
     repaired_a + "a.jpg: read 511 bytes\na.jpg: FF C4/DHT tag ofs: 15; nothing to do\n", ""},
    {"empty_file_and_directory_first",
     {{"empty.jpg", bytes{}, {}}, {"sub/", std::nullopt, {}}, {"a.jpg", frame, repaired(frame, 20)}},
     {"empty.jpg", "sub", "a.jpg"}, 4, repaired_a,
     "dhtfix: empty.jpg: shorter than 52 bytes, or unreadable (status 4)\n"
     "dhtfix: sub: cannot open it for reading and writing (status 1)\n"},
    {"options_are_file_names",
     {{"-x.jpg", frame, repaired(frame, 20)}, {"text.txt", text, text}}, {"-x.jpg", "--help", "text.txt", "-"}, 1,
     "-x.jpg: read 91 bytes\n-x.jpg: FF DB/DQT tag ofs: 14; adding DHT\ntext.txt: read 66 bytes\n",
     "dhtfix: --help: cannot open it for reading and writing (status 1)\n"
     "dhtfix: -: cannot open it for reading and writing (status 1)\n"},
};

class several : public testing::TestWithParam<several_case> {};

TEST_P(several, each_path_as_if_alone_and_named) {
    const several_case& c = GetParam();
    scratch_dir dir, logs;
    for (const named_file& f : c.files) {
        if (f.name.back() == '/') std::filesystem::create_directory(native_path(dir.path(f.name)));
        else if (f.before) write_file(dir.path(f.name), *f.before);
    }
    const run_result r = run_dhtfix(c.args, {.directory = dir.root, .err_file = logs.path("err")});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    const bytes err = read_file(logs.path("err"));
    EXPECT_EQ(std::string(err.begin(), err.end()), c.err);
    for (const named_file& f : c.files) {
        if (!f.before) continue;
        EXPECT_EQ(read_file(dir.path(f.name)), f.after) << f.name;
    }
}

INSTANTIATE_TEST_SUITE_P(paths, several, testing::ValuesIn(several_cases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(cli, large_file_is_repaired_exactly) {
    scratch_dir dir;
    const std::string path = dir.path("large.jpg");
    bytes large = soi + app0 + dqt + sof0 + sos + zeros(6 << 20) + eoi;
    large[12345] = 0xFF;  // a lone prefix in the scan data
    write_file(path, large);
    const run_result r = run_dhtfix({path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "read 6291570 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
    EXPECT_TRUE(read_file(path) == repaired(large, 20));
}

// Names beyond the ANSI code page of Windows, and beyond ASCII anywhere.
TEST(cli, names_outside_ascii_open) {
    scratch_dir dir;
    for (const char* name : {"\xD0\xBA\xD0\xB0\xD0\xB4\xD1\x80 01.jpg", "\xC3\xBC\xE2\x9C\x93.jpg"}) {
        const std::string path = dir.path(name);
        write_file(path, frame);
        const run_result r = run_dhtfix({path});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, "read 91 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
        EXPECT_EQ(read_file(path), repaired(frame, 20));
    }
}

// Sparse, so they cost nothing: one byte past the signed 32-bit length, and
// a length that a 32-bit size would wrap to 100 bytes, a file it would "repair".
TEST(cli, file_of_2_gib_or_more_is_status_3) {
    scratch_dir dir;
    const std::string path = dir.path("sparse.jpg");
    for (const unsigned long long size : {(1ull << 31) + 1, (1ull << 32) + 100}) {
        write_file(path, frame);
        std::filesystem::resize_file(native_path(path), size);
        const run_result r = run_dhtfix({path});
        EXPECT_EQ(r.status, 3) << size;
        EXPECT_EQ(r.out, "");  // nothing is written before the byte-count line
        EXPECT_EQ(std::filesystem::file_size(native_path(path)), size);
    }
}

}  // namespace
