#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <optional>

#include <gtest/gtest.h>

#include "dhtfix.h"
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
const bytes photo = soi + app0 + dqt + dht + sof0 + sos + zeros(8) + eoi;  // its own DHT at 0x59
const bytes damaged_app = soi + bytes{0xFF, 0xE1, 0xFF, 0xFF} + dqt_head + zeros(50);  // length past the end
const bytes text = bytes{'t', 'e', 'x', 't', 0xFF, 0xDB} + zeros(60);
const bytes avi = bytes{'R', 'I', 'F', 'F', 0x00, 0x01, 0x00, 0x00, 'A', 'V', 'I', ' '} + frame;
const bytes ends_before_scan = soi + bytes{0xFF, 0xDB, 0x00, 0x30} + zeros(46);  // 52 bytes, DQT at 2
const bytes edge_jpeg = soi + bytes{0xFF, 0xDB, 0x00, 0x02, 0xFF, 0xFE, 0x00, 0x10} + zeros(14) + sof0 + sos
                        + four_blocks + eoi;  // 52 bytes, DQT at 2

std::string dqt_line(std::size_t at, const char* verdict) {
    char line[96];
    std::snprintf(line, sizeof line, "FF DB/DQT tag ofs: %X; %s\n", static_cast<unsigned>(at), verdict);
    return line;
}
std::string added(std::size_t at) { return dqt_line(at, "adding DHT"); }
std::string unfit(std::size_t at) { return dqt_line(at, "standard tables do not fit; left alone"); }
std::string early(std::size_t at) { return dqt_line(at, "image ends early; left alone"); }

// The file with the segment in front of each offset, the offsets in order.
bytes repaired_at(bytes file, std::initializer_list<std::size_t> offsets) {
    for (auto t = std::rbegin(offsets); t != std::rend(offsets); ++t) file = repaired(file, *t);
    return file;
}

bytes join(const bytes& a, const bytes& padding, const bytes& b) { return a + padding + b; }

// The same grey frame with another frame header, restart markers, or scan.
bytes frame_with(const bytes& frame_header, const bytes& restarts, const bytes& scan) {
    return soi + app0 + dqt + frame_header + restarts + sos + scan + eoi;
}
bytes sof_as(std::uint8_t code, std::uint8_t precision) {
    bytes header = sof0;
    header[1] = code;
    header[4] = precision;
    return header;
}
const bytes dri_1{0xFF, 0xDD, 0x00, 0x04, 0x00, 0x01};  // a restart after every MCU
// Each block of the four padded to its byte with 1-bits: 001010 11.
bytes restarted(std::initializer_list<std::uint8_t> markers, const bytes& padding = {}) {
    bytes scan{0x2B};
    for (const std::uint8_t m : markers) scan = scan + padding + bytes{0xFF, m, 0x2B};
    return frame_with(sof0, dri_1, scan);
}
const bytes unfit_frame = frame_with(sof0, {}, bytes{0xFF, 0x00, 0xFF, 0x00});  // DC code 1111 1111 1 is none

// A field of an interlaced frame: the grey frame behind an AVI1 APP0 with
// its polarity and both sizes.
bytes field(std::uint8_t polarity, std::uint32_t size, std::uint32_t less_padding) {
    const auto be32 = [](std::uint32_t v) {
        return bytes{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                     static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    };
    const bytes avi1 = bytes{0xFF, 0xE0, 0x00, 0x10, 'A', 'V', 'I', '1', polarity, 0x00} + be32(size) + be32(less_padding);
    return soi + avi1 + dqt + sof0 + sos + four_blocks + eoi;  // 117 bytes, DQT at 0x14
}

bytes repeated(const bytes& image, int times, const bytes& padding) {
    bytes out = image;
    for (int i = 1; i < times; ++i) out = out + padding + image;
    return out;
}
std::string added_every(std::size_t stride, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += added(20 + stride * static_cast<std::size_t>(i));
    return out;
}
bytes repaired_every(const bytes& image, int times, const bytes& padding) {
    return repeated(repaired(image, 20), times, padding);
}

const bytes three_blocks_only = frame_with(sof0, {}, bytes{0x28, 0xA2, 0x8F});  // the fourth cut off

const cli_case cli_cases[] = {
    {"empty", {}, 4, "", {}},
    {"one_byte_short", short_dqt, 4, "", short_dqt},
    {"just_long_enough", edge_jpeg, 0, "read 52 bytes\nFF DB/DQT tag ofs: 2; adding DHT\n",
     repaired(edge_jpeg, 2)},
    {"frame_without_tables", frame, 0, "read 117 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n",
     repaired(frame, 20)},
    {"frame_repaired_before", repaired(frame, 20), 0,
     "read 537 bytes\nFF C4/DHT tag ofs: 15; nothing to do\n", repaired(frame, 20)},
    {"photo_keeps_its_bytes", photo, 0, "read 155 bytes\nFF C4/DHT tag ofs: 5A; nothing to do\n", photo},
    {"damaged_app_segment", damaged_app, 0, "read 61 bytes\n", damaged_app},
    {"text_with_dqt_pair", text, 0, "read 66 bytes\n", text},
    {"avi_holding_a_frame", avi, 0, "read 129 bytes\n", avi},
    // Several images: each is judged, in order, and only those that fit change.
    {"two_frames_back_to_back", frame + frame, 0, "read 234 bytes\n" + added(0x14) + added(0x89),
     repaired_at(frame + frame, {0x14, 0x89})},
    {"two_frames_with_a_zero_between", join(frame, {0x00}, frame), 0, "read 235 bytes\n" + added(0x14) + added(0x8A),
     repaired_at(join(frame, {0x00}, frame), {0x14, 0x8A})},
    {"two_frames_with_fill_between", join(frame, fill, frame), 0, "read 237 bytes\n" + added(0x14) + added(0x8C),
     repaired_at(join(frame, fill, frame), {0x14, 0x8C})},
    {"thirty_frames", repeated(frame, 30, {0x00}), 0, "read 3539 bytes\n" + added_every(118, 30),
     repaired_every(frame, 30, {0x00})},
    {"trailing_garbage_ends_the_list", join(frame, text, frame), 0, "read 300 bytes\n" + added(0x14),
     join(repaired(frame, 20), text, frame)},
    {"last_frame_ends_early", frame + slice(frame, 0, 100), 0, "read 217 bytes\n" + added(0x14) + early(0x89),
     repaired(frame, 20) + slice(frame, 0, 100)},
    {"frame_cut_short_by_the_next_soi", slice(frame, 0, 113) + frame, 0,
     "read 230 bytes\n" + early(0x14) + added(0x85), slice(frame, 0, 113) + repaired(frame, 20)},
    {"unfit_frame_between_two", frame + unfit_frame + frame, 0,
     "read 352 bytes\n" + added(0x14) + unfit(0x89) + added(0xFF),
     repaired(frame, 20) + unfit_frame + repaired(frame, 20)},
    {"second_image_of_a_photo_without_dht", photo + frame, 0,
     "read 272 bytes\nFF C4/DHT tag ofs: 5A; nothing to do\n", photo + frame},
    {"photo_after_a_frame", frame + photo, 0, "read 272 bytes\n" + added(0x14), repaired(frame, 20) + photo},
    {"interlaced_fields_grow_their_sizes", join(field(1, 119, 117), {0x00, 0x00}, field(2, 117, 117)), 0,
     "read 236 bytes\n" + added(0x14) + added(0x8B),
     join(repaired(field(1, 539, 537), 20), {0x00, 0x00}, repaired(field(2, 537, 537), 20))},
    {"interlaced_sizes_that_do_not_match", field(1, 1000, 117) + field(2, 117, 117), 0,
     "read 234 bytes\n" + added(0x14) + added(0x89), repaired(field(1, 1000, 117), 20) + repaired(field(2, 537, 537), 20)},
    {"avi1_polarity_0_keeps_its_sizes", field(0, 117, 117), 0, "read 117 bytes\n" + added(0x14),
     repaired(field(0, 117, 117), 20)},
    // The fit: frame header, scan, restarts.
    {"progressive", frame_with(sof_as(0xC2, 8), {}, four_blocks), 0, "read 117 bytes\n" + unfit(0x14),
     frame_with(sof_as(0xC2, 8), {}, four_blocks)},
    {"lossless", frame_with(sof_as(0xC3, 8), {}, four_blocks), 0, "read 117 bytes\n" + unfit(0x14),
     frame_with(sof_as(0xC3, 8), {}, four_blocks)},
    {"twelve_bit_extended", frame_with(sof_as(0xC1, 12), {}, four_blocks), 0, "read 117 bytes\n" + unfit(0x14),
     frame_with(sof_as(0xC1, 12), {}, four_blocks)},
    {"eight_bit_extended", frame_with(sof_as(0xC1, 8), {}, four_blocks), 0, "read 117 bytes\n" + added(0x14),
     repaired(frame_with(sof_as(0xC1, 8), {}, four_blocks), 20)},
    {"arithmetic_needs_no_tables", frame_with(sof_as(0xC9, 8), {}, four_blocks), 0, "read 117 bytes\n",
     frame_with(sof_as(0xC9, 8), {}, four_blocks)},
    {"arithmetic_then_frame", frame_with(sof_as(0xC9, 8), {}, four_blocks) + frame, 0,
     "read 234 bytes\n" + added(0x89), frame_with(sof_as(0xC9, 8), {}, four_blocks) + repaired(frame, 20)},
    {"no_frame_header", frame_with({}, {}, four_blocks), 0, "read 104 bytes\n" + unfit(0x14),
     frame_with({}, {}, four_blocks)},
    {"ends_before_its_scan", ends_before_scan, 0, "read 52 bytes\n" + early(2), ends_before_scan},
    {"scan_ends_before_its_last_block", three_blocks_only, 0, "read 117 bytes\n" + unfit(0x14), three_blocks_only},
    {"bytes_after_the_last_block_not_judged", frame_with(sof0, {}, four_blocks + bytes{0xFF, 0x00, 0x12}), 0,
     "read 120 bytes\n" + added(0x14), repaired(frame_with(sof0, {}, four_blocks + bytes{0xFF, 0x00, 0x12}), 20)},
    {"restarts_in_order", restarted({0xD0, 0xD1, 0xD2}), 0, "read 130 bytes\n" + added(0x14),
     repaired(restarted({0xD0, 0xD1, 0xD2}), 20)},
    {"restart_padded_with_a_stuffed_byte", restarted({0xD0, 0xD1, 0xD2}, {0xFF, 0x00}), 0,
     "read 136 bytes\n" + added(0x14), repaired(restarted({0xD0, 0xD1, 0xD2}, {0xFF, 0x00}), 20)},
    {"restarts_out_of_order", restarted({0xD0, 0xD2, 0xD3}), 0, "read 130 bytes\n" + unfit(0x14),
     restarted({0xD0, 0xD2, 0xD3})},
    {"restart_padded_with_zero_bits", restarted({0xD0, 0xD1, 0xD2}, {0x00}), 0, "read 133 bytes\n" + unfit(0x14),
     restarted({0xD0, 0xD1, 0xD2}, {0x00})},
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
    // The library makes the same bytes in memory.
    EXPECT_EQ(library_repair(c.before), c.after);
    // Run again, a repaired file finds its tables and stays as it is.
    if (c.after == c.before) return;
    const run_result again = run_dhtfix({path});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(read_file(path), c.after) << again.out;
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
// directory if its name ends in '/'; read-only files bind root too.
struct named_file {
    std::string name;
    std::optional<bytes> before;
    bytes after;
    bool read_only = false;
};

struct several_case {
    const char* name;
    std::vector<named_file> files;
    std::vector<std::string> args;  // relative to the scratch directory
    int status;
    std::string out, err;
};

void PrintTo(const several_case& c, std::ostream* os) { *os << c.name; }

const std::string repaired_a = "a.jpg: read 117 bytes\na.jpg: FF DB/DQT tag ofs: 14; adding DHT\n";

std::string cannot_open(const std::string& name, open_error error) {
    return "dhtfix: " + name + ": cannot open it for reading and writing: " + open_error_text(error) + " (status 1)\n";
}

// The lines of a frame repaired under a name as it is printed.
std::string repaired_as(const std::string& printed) {
    return printed + ": read 117 bytes\n" + printed + ": FF DB/DQT tag ofs: 14; adding DHT\n";
}

const several_case several_cases[] = {
    {"repaired_has_tables_missing",
     {{"a.jpg", frame, repaired(frame, 20)}, {"b.jpg", repaired(frame, 20), repaired(frame, 20)}},
     {"a.jpg", "b.jpg", "missing.jpg"}, 1,
     repaired_a + "b.jpg: read 537 bytes\nb.jpg: FF C4/DHT tag ofs: 15; nothing to do\n",
     cannot_open("missing.jpg", open_error::missing)},
    {"same_file_twice", {{"a.jpg", frame, repaired(frame, 20)}}, {"a.jpg", "a.jpg"}, 0,
     repaired_a + "a.jpg: read 537 bytes\na.jpg: FF C4/DHT tag ofs: 15; nothing to do\n", ""},
    {"empty_file_and_directory_first",
     {{"empty.jpg", bytes{}, {}}, {"sub/", std::nullopt, {}}, {"a.jpg", frame, repaired(frame, 20)}},
     {"empty.jpg", "sub", "a.jpg"}, 4, repaired_a,
     "dhtfix: empty.jpg: shorter than 52 bytes (status 4)\n" + cannot_open("sub", open_error::directory)},
    {"options_are_file_names",
     {{"-x.jpg", frame, repaired(frame, 20)}, {"text.txt", text, text}}, {"-x.jpg", "--help", "text.txt", "-"}, 1,
     "-x.jpg: read 117 bytes\n-x.jpg: FF DB/DQT tag ofs: 14; adding DHT\ntext.txt: read 66 bytes\n",
     cannot_open("--help", open_error::missing) + cannot_open("-", open_error::missing)},
    {"names_beyond_ascii_as_they_are",
     {{"\xD0\xBA\xD0\xB0\xD0\xB4\xD1\x80.jpg", frame, repaired(frame, 20)}},
     {"\xD0\xBA\xD0\xB0\xD0\xB4\xD1\x80.jpg", "\xC3\xBC.jpg"}, 1,
     repaired_as("\xD0\xBA\xD0\xB0\xD0\xB4\xD1\x80.jpg"), cannot_open("\xC3\xBC.jpg", open_error::missing)},
#ifndef _WIN32
    // Wine run by root opens a read-only file for writing, as root may.
    {"read_only_file", {{"ro.jpg", frame, frame, true}, {"a.jpg", frame, repaired(frame, 20)}}, {"ro.jpg", "a.jpg"}, 1,
     repaired_a, cannot_open("ro.jpg", open_error::denied)},
    // A name cannot end its line or pass for another file's.
    {"names_that_could_forge_a_line",
     {{"x.jpg: read 5 bytes\ny.jpg", frame, repaired(frame, 20)}, {"tab\t.jpg", frame, repaired(frame, 20)},
      {"back\\slash.jpg", frame, repaired(frame, 20)}},
     {"x.jpg: read 5 bytes\ny.jpg", "tab\t.jpg", "back\\slash.jpg", "gone\x1b[2J\r\x7f.jpg"}, 1,
     repaired_as("x.jpg: read 5 bytes\\ny.jpg") + repaired_as("tab\\t.jpg") + repaired_as("back\\\\slash.jpg"),
     cannot_open("gone\\x1b[2J\\r\\x7f.jpg", open_error::missing)},
#endif
};
class several : public testing::TestWithParam<several_case> {};

TEST_P(several, each_path_as_if_alone_and_named) {
    const several_case& c = GetParam();
    scratch_dir dir, logs;
    for (const named_file& f : c.files) {
        if (f.name.back() == '/') std::filesystem::create_directory(native_path(dir.path(f.name)));
        else if (f.before) write_file(dir.path(f.name), *f.before);
        if (f.read_only) std::filesystem::permissions(native_path(dir.path(f.name)), std::filesystem::perms::owner_read);
    }
    const run_result r =
        run_dhtfix(c.args, {.obey_file_modes = true, .directory = dir.root, .err_file = logs.path("err")});
    if (r.status == cannot_drop_root_override) SKIP_UNLESS_CI("root cannot give up its power over file modes here");
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    const bytes err = read_file(logs.path("err"));
    EXPECT_EQ(std::string(err.begin(), err.end()), c.err);
    for (const named_file& f : c.files) {
        if (!f.before) continue;
        EXPECT_EQ(read_file(dir.path(f.name)), f.after) << f.name;
        // Else the scratch folder would not go on Windows.
        if (f.read_only) std::filesystem::permissions(native_path(dir.path(f.name)), std::filesystem::perms::owner_all);
    }
}

INSTANTIATE_TEST_SUITE_P(paths, several, testing::ValuesIn(several_cases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(cli, large_file_is_repaired_exactly) {
    scratch_dir dir;
    const std::string path = dir.path("large.jpg");
    bytes large = frame_of(6 << 20);
    large[12345] = 0xFF;  // a lone prefix in the scan data
    write_file(path, large);
    const run_result r = run_dhtfix({path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "read 6291573 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
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
        EXPECT_EQ(r.out, "read 117 bytes\nFF DB/DQT tag ofs: 14; adding DHT\n");
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


// dhtcat: the input with the segment in front of each image that fits and
// Content-Length values to match, nothing else, whatever the reads.
bytes text_of(const std::string& t) { return bytes(t.begin(), t.end()); }

// A multipart/x-mixed-replace body of these parts, with or without lengths.
bytes multipart(const std::vector<bytes>& parts, bool lengths) {
    bytes out;
    for (const bytes& p : parts) {
        out = out + text_of("--frame\r\nContent-Type: image/jpeg\r\n");
        if (lengths) out = out + text_of("Content-Length: " + std::to_string(p.size()) + "\r\n");
        out = out + text_of("\r\n") + p + text_of("\r\n");
    }
    return out + text_of("--frame--\r\n");
}

bytes thirty_frames() {
    const bytes kinds[] = {bare_frame, frame_of(100), unfit_frame, restarted({0xD0, 0xD1, 0xD2}), field(1, 117, 117)};
    bytes out;
    for (int i = 0; i < 30; ++i) out = out + kinds[i % 5];
    return out;
}

struct stream_case {
    const char* name;
    bytes input, output;
};

void PrintTo(const stream_case& c, std::ostream* os) { *os << c.name; }

const bytes fixed = repaired(bare_frame, 20);
const stream_case stream_cases[] = {
    {"thirty_frames", thirty_frames(), {}},  // output: what dhtfix leaves
    {"zero_and_fill_bytes_between", bare_frame + bytes{0xFF, 0x00, 0xFF} + bare_frame, {}},
    {"trailing_garbage", bare_frame + text_of("garbage") + bare_frame, fixed + text_of("garbage") + bare_frame},
    {"cut_off_mid_frame", bare_frame + slice(bare_frame, 0, 60), fixed + slice(bare_frame, 0, 60)},
    {"photo_first", photo + bare_frame, photo + bare_frame},
    {"multipart_with_lengths", multipart({bare_frame, unfit_frame, bare_frame}, true),
     multipart({fixed, unfit_frame, fixed}, true)},
    {"multipart_without_lengths", multipart({bare_frame, fixed}, false), multipart({fixed, fixed}, false)},
    {"multipart_with_a_length_that_lies",
     text_of("--frame\r\nContent-Length: 60\r\n\r\n") + bare_frame + text_of("\r\n--frame--\r\n"),
     text_of("--frame\r\nContent-Length: 60\r\n\r\n") + bare_frame + text_of("\r\n--frame--\r\n")},
    {"empty", {}, {}},
    {"only_fill_bytes", bytes(10000, 0xFF), bytes(10000, 0xFF)},
    {"boundary_line_of_100_kb", text_of("--") + bytes(100000, 'x') + text_of("\r\n") + bare_frame,
     text_of("--") + bytes(100000, 'x') + text_of("\r\n") + bare_frame},
    {"text", text, text},
};

class stream : public testing::TestWithParam<stream_case> {};

TEST_P(stream, passes_through_dhtcat_in_reads_of_any_size) {
    const stream_case& c = GetParam();
    const bytes want = c.output.empty() && !c.input.empty() ? library_repair(c.input) : c.output;
    for (const std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
        const run_result r = run_with_input("dhtcat", {"-q"}, c.input, chunk);
        EXPECT_EQ(r.status, 0) << "reads of " << chunk;
        EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) == want) << "reads of " << chunk;
    }
}

INSTANTIATE_TEST_SUITE_P(dhtcat, stream, testing::ValuesIn(stream_cases),
                         [](const auto& test) { return std::string(test.param.name); });

// Each image to a file of its own, named by the pattern, never over one
// that is there unless forced; bad patterns are usage errors.
TEST(dhtcat, splits_into_files_and_refuses_to_overwrite) {
    scratch_dir dir;
    const bytes input = text_of("--frame\r\n\r\n") + bare_frame + text_of("\r\n--frame\r\n\r\n") + unfit_frame
                        + text_of("\r\n--frame--\r\n");
    const std::string pattern = dir.path("%03d.jpg");
    for (const int status : {0, 2}) {
        const run_result r = run_with_input("dhtcat", {"-q", "--split", pattern}, input);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(dir.path("000.jpg")), fixed);
        EXPECT_EQ(read_file(dir.path("001.jpg")), unfit_frame);
    }
    write_file(dir.path("000.jpg"), {});
    EXPECT_EQ(run_with_input("dhtcat", {"-q", "--force", "--split", pattern}, input).status, 0);
    EXPECT_EQ(read_file(dir.path("000.jpg")), fixed);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(native_path(dir.root)), {}), 2);
    for (const char* bad : {"x.jpg", "%d-%d.jpg", "%s.jpg"})
        EXPECT_EQ(run_with_input("dhtcat", {"--split", dir.path(bad)}, bare_frame).status, 1) << bad;
    // The usual options: a version line, and -- before a name like an option.
    for (const char* program : {"dhtcat", "dhtcheck"}) {
        const run_result version = run_with_input(program, {"--version"}, {});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, std::string(program) + " (dhtfix) " + dhtfix_version() + "\n");
        EXPECT_EQ(run_with_input(program, {"--no-such-option"}, {}).status, std::string(program) == "dhtcat" ? 1 : 2);
    }
    write_file(dir.path("-x.jpg"), bare_frame);
    child_setup here;
    here.program = "dhtcat";
    here.directory = dir.root;
    const run_result dashed = run_dhtfix({"-q", "--", "-x.jpg"}, here);
    EXPECT_EQ(dashed.status, 0);
    EXPECT_EQ(bytes(dashed.out.begin(), dashed.out.end()), fixed);
}

// dhtcheck: a line for each file and nothing written. A folder opens
// for reading on POSIX, and not at all on Windows.
#ifdef _WIN32
const std::string folder_reason = "cannot open it for reading: " + open_error_text(open_error::directory);
#else
const std::string folder_reason = "not a regular file";
#endif

struct check_case {
    const char* name;
    std::vector<std::string> options;
    int status;
    std::string out;
};

void PrintTo(const check_case& c, std::ostream* os) { *os << c.name; }

const check_case check_cases[] = {
    {"every_verdict", {}, 2,
     "a.jpg: needs tables (1 of 1 images)\nb.jpg: has tables\nc.jpg: standard tables do not fit\n"
     "d.jpg: ends early\ne.txt: not a JPEG\nf.jpg: damaged\ng.jpg: no tables needed\n"
     "h.jpg: needs tables (2 of 3 images)\ni.jpg: no tables needed\nmissing.jpg: unreadable: cannot open it for reading: "
         + open_error_text(open_error::missing) + "\nsub: unreadable: " + folder_reason + "\n"},
    {"only_those_that_need_tables", {"-q"}, 2, "a.jpg\nh.jpg\n"},
    {"ended_by_nul", {"-q", "-0"}, 2, std::string("a.jpg\0h.jpg\0", 12)},
};

class check : public testing::TestWithParam<check_case> {};

TEST_P(check, judges_without_writing) {
    const check_case& c = GetParam();
    scratch_dir dir;
    const std::vector<std::pair<std::string, bytes>> files = {
        {"a.jpg", bare_frame}, {"b.jpg", fixed}, {"c.jpg", unfit_frame}, {"d.jpg", slice(frame_of(100), 0, 150)},
        {"e.txt", text}, {"f.jpg", damaged_app}, {"g.jpg", soi + app0 + sof0 + sos + four_blocks + zeros(10) + eoi},
        {"h.jpg", bare_frame + unfit_frame + bare_frame}, {"i.jpg", frame_with(sof_as(0xC9, 8), {}, four_blocks)}};
    for (const auto& [name, content] : files) write_file(dir.path(name), content);
    std::filesystem::create_directory(native_path(dir.path("sub")));
    std::vector<std::string> args = c.options;
    for (const auto& [name, content] : files) args.push_back(name);
    args.push_back("missing.jpg");
    args.push_back("sub");
    child_setup setup;
    setup.program = "dhtcheck";
    setup.directory = dir.root;
    const run_result r = run_dhtfix(args, setup);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    for (const auto& [name, content] : files) EXPECT_EQ(read_file(dir.path(name)), content) << name;
    // Without a file that cannot be read: 1 while one needs tables, else 0.
    EXPECT_EQ(run_dhtfix({"a.jpg", "b.jpg"}, setup).status, 1);
    EXPECT_EQ(run_dhtfix({"b.jpg", "c.jpg"}, setup).status, 0);
}

INSTANTIATE_TEST_SUITE_P(dhtcheck, check, testing::ValuesIn(check_cases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
