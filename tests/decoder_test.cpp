#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dht_repair.h"
#include "jpeg_codec.h"
#include "markers.h"

namespace {

struct frame_case {
    const char* name;
    int width, height, components;
    encoding e;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const frame_case& c, std::ostream* os) { *os << c.name; }

const frame_case frame_cases[] = {
    {"color_444", 64, 48, 3, {1, 1, 0, 75}},
    {"color_420_odd_size", 321, 199, 3, {2, 2, 0, 75}},
    {"color_422", 100, 60, 3, {2, 1, 0, 90}},
    {"color_420_restarts", 160, 120, 3, {2, 2, 3, 75}},
    {"color_444_best_quality", 40, 40, 3, {1, 1, 0, 100}},
    {"gray", 97, 75, 1, {1, 1, 0, 75}},
    {"gray_restarts_low_quality", 200, 16, 1, {1, 1, 1, 10}},
    {"single_pixel", 1, 1, 3, {2, 2, 0, 75}},
};

class decoder : public testing::TestWithParam<frame_case> {};

// The decoder would fall back to the typical tables for a file that has
// none, so a clean decode alone proves nothing: the repaired file must
// define all four tables itself, and they must be the encoder's.
TEST_P(decoder, repaired_frame_defines_the_typical_tables_and_decodes_identically) {
    const frame_case& c = GetParam();
    const bytes original = encode(test_pattern(c.width, c.height, c.components), c.e);
    const bytes stripped = strip_dht(original);
    ASSERT_EQ(file_tables(stripped), table_set{}) << "the DHT segments were not all removed";

    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, stripped);
    const run_result r = run_dhtfix({path});
    ASSERT_EQ(r.status, 0) << r.out;
    const bytes fixed = read_file(path);
    ASSERT_EQ(fixed.size(), stripped.size() + 420);

    const table_set ours = file_tables(fixed), encoder = encoder_tables(), written = file_tables(original);
    for (std::size_t i = 0; i < ours.size(); ++i) {
        ASSERT_TRUE(ours[i].has_value()) << "table " << i << " is not defined by the file";
        EXPECT_EQ(ours[i], encoder[i]) << "table " << i;
        if (written[i]) {
            EXPECT_EQ(ours[i], written[i]) << "table " << i;
        }
    }

    const picture want = decode(original), got = decode(fixed);
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.components, want.components);
    EXPECT_TRUE(got.pixels == want.pixels) << "decoded pixels differ";
}

INSTANTIATE_TEST_SUITE_P(frames, decoder, testing::ValuesIn(frame_cases),
                         [](const auto& test) { return std::string(test.param.name); });

bytes be16(std::size_t v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }
bytes be32(std::size_t v) { return be16(v >> 16) + be16(v & 0xFFFF); }

bytes app_segment(std::uint8_t code, const bytes& payload) {
    return bytes{0xFF, code} + be16(payload.size() + 2) + payload;
}

// Encoders store DQT before DHT, so an embedded thumbnail holds FF DB first.
bytes thumbnail() { return encode(test_pattern(160, 120, 3), {}); }

// EXIF as cameras write it: a big-endian TIFF structure whose IFD1 points
// at the thumbnail that follows it.
bytes exif_thumbnail() {
    const bytes thumb = thumbnail();
    const auto entry = [](std::size_t id, std::size_t type, std::size_t value) {
        return be16(id) + be16(type) + be32(1) + (type == 3 ? be16(value) + be16(0) : be32(value));
    };
    const bytes ifd0 = be16(1) + entry(0x0112, 3, 1) + be32(26);  // orientation; IFD1 at 26
    const bytes ifd1 = be16(3) + entry(0x0103, 3, 6) + entry(0x0201, 4, 68)
                       + entry(0x0202, 4, thumb.size()) + be32(0);  // JPEG thumbnail at 68
    const bytes tiff = bytes{'M', 'M', 0x00, 0x2A} + be32(8) + ifd0 + ifd1 + thumb;
    return app_segment(0xE1, bytes{'E', 'x', 'i', 'f', 0, 0} + tiff);
}

bytes jfxx_thumbnail() { return app_segment(0xE0, bytes{'J', 'F', 'X', 'X', 0, 0x10} + thumbnail()); }

// A field of 65,499 bytes: both field sizes read 00 00 FF DB.
bytes avi1_field_sizes() { return app_segment(0xE0, bytes{'A', 'V', 'I', '1', 0, 0} + be32(0xFFDB) + be32(0xFFDB)); }

struct app_case {
    const char* name;
    bytes (*segment)();
    bool strip;  // a camera frame without tables, or an ordinary photo with them
};

void PrintTo(const app_case& c, std::ostream* os) { *os << c.name; }

const app_case app_cases[] = {
    {"photo_with_exif_thumbnail", exif_thumbnail, false},
    {"frame_with_jfxx_thumbnail", jfxx_thumbnail, true},
    {"avi1_frame_with_dqt_in_field_size", avi1_field_sizes, true},
};

std::string line(const char* format, std::size_t value) {
    char text[128];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
    return text;
}

class app_segments : public testing::TestWithParam<app_case> {};

// A frame without tables gets them at its own DQT, past the thumbnails and
// field sizes; a photo with its tables keeps every byte, thumbnail offsets
// included.
TEST_P(app_segments, are_passed_over_to_the_pictures_own_tables) {
    const app_case& c = GetParam();
    const bytes original = encode(test_pattern(320, 240, 3), {});
    const bytes picture = c.strip ? strip_dht(original) : original;
    const bytes extra = c.segment();
    // Behind SOI and the encoder's JFIF APP0.
    const bytes file = slice(picture, 0, 20) + extra + slice(picture, 20, picture.size());
    const std::size_t t = 20 + extra.size();
    ASSERT_EQ(file[t + 1], dqt_code);
    std::size_t own_dht = t;  // a photo's own DHT, behind its DQT
    while (!c.strip && own_dht + 1 < file.size() && !(file[own_dht] == marker_prefix && file[own_dht + 1] == dht_code))
        ++own_dht;

    scratch_dir dir;
    const std::string path = dir.path("photo.jpg");
    write_file(path, file);
    const run_result first = run_dhtfix({path});
    EXPECT_EQ(first.status, 0);
    const bytes fixed = read_file(path);
    if (c.strip) {
        EXPECT_EQ(first.out,
                  line("read %u bytes\n", file.size()) + line("FF DB/DQT tag ofs: %X; adding DHT\n", t));
        ASSERT_TRUE(fixed == repaired(file, t)) << "not inserted at the picture's own DQT";
    } else {
        EXPECT_EQ(first.out,
                  line("read %u bytes\n", file.size()) + line("FF C4/DHT tag ofs: %X; nothing to do\n", own_dht + 1));
        ASSERT_TRUE(fixed == file) << "a photo with its tables was written";
    }
    EXPECT_TRUE(decode(fixed).pixels == decode(original).pixels) << "decoded pixels differ";

    const run_result second = run_dhtfix({path});
    EXPECT_EQ(second.out, line("read %u bytes\n", fixed.size())
                              + line("FF C4/DHT tag ofs: %X; nothing to do\n", (c.strip ? t : own_dht) + 1));
    EXPECT_TRUE(read_file(path) == fixed);
}

INSTANTIATE_TEST_SUITE_P(files, app_segments, testing::ValuesIn(app_cases),
                         [](const auto& test) { return std::string(test.param.name); });

// Where a line of the run says a DQT took the segment.
std::vector<std::size_t> insertions(const std::string& out) {
    std::vector<std::size_t> at;
    const std::string key = "FF DB/DQT tag ofs: ";
    for (std::size_t line = 0; line < out.size(); line = out.find('\n', line) + 1) {
        const std::size_t found = out.find(key, line);
        if (found != line) continue;
        const std::size_t end = out.find('\n', line);
        if (out.compare(end - 10, 10, "adding DHT") == 0)
            at.push_back(std::stoul(out.substr(found + key.size()), nullptr, 16));
    }
    return at;
}

bytes repaired_at(bytes file, const std::vector<std::size_t>& offsets) {
    for (auto t = offsets.rbegin(); t != offsets.rend(); ++t) file = repaired(file, *t);
    return file;
}

// The SOI of the image whose DQT stands at t.
std::size_t image_start(const bytes& file, std::size_t t) {
    std::size_t at = t;
    while (at > 0 && !(file[at - 1] == marker_prefix && file[at] == soi_code)) --at;
    return at - 1;
}

// Each image that took the segment decodes as the original image did: the
// decoder falls back to the standard tables for one without them.
void expect_each_image_decodes_as_before(const bytes& original, const bytes& after, const std::vector<std::size_t>& at,
                                         tolerance allowed = tolerance::none) {
    for (std::size_t i = 0; i < at.size(); ++i) {
        const std::size_t start = image_start(original, at[i]);
        const picture want = decode(slice(original, start, original.size()), allowed);
        const picture got = decode(slice(after, start + 420 * i, after.size()), allowed);
        EXPECT_EQ(got.width, want.width) << "image " << i;
        EXPECT_TRUE(got.pixels == want.pixels) << "decoded pixels differ in image " << i;
    }
}

// Real files from cameras and encoders that nobody here wrote, read where
// they lie (they are not the project's to copy). Their list says what the
// tool must do with each: repair every image that lacks tables ("N
// insertions", or one), and leave every other byte of every other file
// where it was. The library, given each file's bytes, makes what the tool
// leaves in the file.
TEST(corpus, frames_are_repaired_and_everything_else_left_alone) {
    const std::filesystem::path corpus = native_path(DHTFIX_CORPUS);
    std::ifstream manifest(corpus / "MANIFEST.txt");
    if (!manifest) SKIP_UNLESS_CI("no corpus beside the project: " DHTFIX_CORPUS);
    scratch_dir dir;
    int files = 0;
    for (std::string entry; std::getline(manifest, entry);) {
        if (entry.empty() || entry[0] == '#') continue;
        const std::string name = entry.substr(0, entry.find('\t'));
        const std::size_t rule = entry.find('\t', entry.find('\t') + 1) + 1;
        const std::string what = entry.substr(rule, entry.find('\t', rule) - rule);
        std::size_t expected = what.rfind("repair", 0) == 0 ? 1 : 0;
        const std::size_t counted = what.find(" insertions");
        if (expected != 0 && counted != std::string::npos)
            expected = std::stoul(what.substr(what.rfind(' ', counted - 1) + 1));
        SCOPED_TRACE(name + ": " + what);
        const bytes original = read_file((corpus / name).string());
        const std::string path = dir.path(name);
        write_file(path, original);
        const run_result first = run_dhtfix({path});
        EXPECT_EQ(first.status, 0);
        const bytes after = read_file(path);
        ++files;
        // The library makes the same bytes in memory, and dhtcat in a pipe;
        // dhtcheck said what the tool would do.
        EXPECT_TRUE(library_repair(original) == after);
        const run_result piped = run_with_input("dhtcat", {"-q"}, original, 4096);
        EXPECT_TRUE(bytes(piped.out.begin(), piped.out.end()) == after);
        child_setup check;
        check.program = "dhtcheck";
        const std::string verdict = run_dhtfix({(corpus / name).string()}, check).out;
        if (expected != 0) EXPECT_NE(verdict.find(": needs tables (" + std::to_string(expected) + " of "), std::string::npos) << verdict;
        else EXPECT_EQ(verdict.find(": needs tables"), std::string::npos) << verdict;
        const std::vector<std::size_t> at = insertions(first.out);
        ASSERT_EQ(at.size(), expected) << first.out;
        ASSERT_TRUE(after == repaired_at(original, at)) << first.out;
        if (expected == 0) continue;
        std::string lines = line("read %u bytes\n", original.size());
        for (const std::size_t t : at) lines += line("FF DB/DQT tag ofs: %X; adding DHT\n", t);
        EXPECT_EQ(first.out, lines);
        expect_each_image_decodes_as_before(original, after, at, tolerance::corrupt_data);
        const run_result second = run_dhtfix({path});
        EXPECT_EQ(second.out, line("read %u bytes\n", after.size()) + line("FF C4/DHT tag ofs: %X; nothing to do\n", at[0] + 1));
        EXPECT_TRUE(read_file(path) == after);
    }
    EXPECT_GE(files, 10);
}

struct stream_case {
    const char* name;
    int frames;
    bytes padding;    // between one image's EOI and the next one's SOI
    int own_tables;   // the frame coded with tables of its own, which it then lost; -1: none
};

void PrintTo(const stream_case& c, std::ostream* os) { *os << c.name; }

const stream_case stream_cases[] = {
    {"two_back_to_back", 2, {}, -1},
    {"two_with_a_zero_between", 2, {0x00}, -1},
    {"two_with_fill_between", 2, {0xFF, 0xFF}, -1},
    {"thirty_with_a_zero_between", 30, {0x00}, -1},
    {"optimised_tables_in_the_middle", 3, {0xFF, 0xFF}, 1},
    {"optimised_tables_alone", 1, {}, 0},
};

class streams : public testing::TestWithParam<stream_case> {};

// Frames as a camera streams them, each a picture of its own: every one
// takes the segment and decodes as before, except one coded with tables of
// its own, which the standard ones would turn into a wrong picture.
TEST_P(streams, every_frame_that_fits_is_repaired) {
    const stream_case& c = GetParam();
    bytes file, want;
    std::vector<picture> pictures;
    std::string lines;
    std::vector<std::size_t> at;
    for (int i = 0; i < c.frames; ++i) {
        encoding e{2, 1, i % 3, 60 + i, i == c.own_tables};
        const picture p = test_pattern(160 + 16 * (i % 4), 96, 3);
        const bytes frame = strip_dht(encode(p, e));
        if (i > 0) {
            file = file + c.padding;
            want = want + c.padding;
        }
        const std::size_t t = file.size() + 20;
        ASSERT_EQ(frame[21], dqt_code);
        const bool fits = i != c.own_tables;
        lines += line(fits ? "FF DB/DQT tag ofs: %X; adding DHT\n" : "FF DB/DQT tag ofs: %X; standard tables do not fit; left alone\n", t);
        if (fits) at.push_back(t);
        file = file + frame;
        want = want + (fits ? repaired(frame, 20) : frame);
    }
    scratch_dir dir;
    const std::string path = dir.path("stream.mjpg");
    write_file(path, file);
    const run_result r = run_dhtfix({path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, line("read %u bytes\n", file.size()) + lines);
    const bytes after = read_file(path);
    ASSERT_TRUE(after == want);
    expect_each_image_decodes_as_before(file, after, at);
    // dhtcat's output, frame by frame, is what the decoder saw here.
    const run_result piped = run_with_input("dhtcat", {"-q"}, file, 4096);
    EXPECT_TRUE(bytes(piped.out.begin(), piped.out.end()) == want);
    EXPECT_EQ(run_dhtfix({path}).status, 0);
    EXPECT_TRUE(read_file(path) == after) << "a second run changed the file";
}

INSTANTIATE_TEST_SUITE_P(frames, streams, testing::ValuesIn(stream_cases),
                         [](const auto& test) { return std::string(test.param.name); });

bytes avi1(std::uint8_t polarity, std::size_t size, std::size_t less_padding) {
    return app_segment(0xE0, bytes{'A', 'V', 'I', '1', polarity, 0} + be32(size) + be32(less_padding));
}

// An interlaced capture frame: two fields, each a complete image behind an
// AVI1 APP0 that gives its size with and without padding. Both take the
// segment, and both sizes grow by it; sizes that did not describe their
// field are left as they were.
TEST(interlaced, both_fields_are_repaired_and_their_sizes_grow) {
    const bytes padding{0x00, 0x00, 0x00};
    bytes one = strip_dht(encode(test_pattern(320, 120, 3), {2, 1, 0, 75}));
    bytes two = strip_dht(encode(test_pattern(320, 120, 1), {1, 1, 0, 75}));
    for (const bool true_sizes : {true, false}) {
        const std::size_t wrong = true_sizes ? 0 : 7;
        // Behind SOI, in front of the encoder's JFIF APP0.
        const auto with = [](const bytes& field, const bytes& app) { return slice(field, 0, 2) + app + slice(field, 2, field.size()); };
        const bytes a = with(one, avi1(1, one.size() + 18 + padding.size() + wrong, one.size() + 18));
        const bytes b = with(two, avi1(2, two.size() + 18, two.size() + 18));
        const bytes a_grown = with(one, avi1(1, one.size() + 18 + padding.size() + wrong + (true_sizes ? 420 : 0),
                                              one.size() + 18 + (true_sizes ? 420 : 0)));
        const bytes b_grown = with(two, avi1(2, two.size() + 438, two.size() + 438));
        const bytes file = a + padding + b;
        const std::size_t second = a.size() + padding.size() + 38;
        scratch_dir dir;
        const std::string path = dir.path("field.jpg");
        write_file(path, file);
        const run_result r = run_dhtfix({path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, line("read %u bytes\n", file.size()) + line("FF DB/DQT tag ofs: %X; adding DHT\n", 38)
                             + line("FF DB/DQT tag ofs: %X; adding DHT\n", second));
        const bytes after = read_file(path);
        EXPECT_TRUE(after == repaired(a_grown, 38) + padding + repaired(b_grown, 38)) << "true sizes: " << true_sizes;
        expect_each_image_decodes_as_before(file, after, {38, second});
    }
}

struct shape_case {
    const char* name;
    encoding e;
    bool twelve_bit;   // its frame header patched to 12-bit samples
    const char* verdict;  // the DQT line's end; nullptr: no line
};

void PrintTo(const shape_case& c, std::ostream* os) { *os << c.name; }

const shape_case shape_cases[] = {
    {"progressive", {2, 2, 0, 75, false, true}, false, "standard tables do not fit; left alone"},
    {"arithmetic", {2, 2, 0, 75, false, false, true}, false, nullptr},
    {"twelve_bit", {2, 2, 0, 75}, true, "standard tables do not fit; left alone"},
};

class shapes : public testing::TestWithParam<shape_case> {};

// Frames without tables that the standard ones cannot serve keep every byte.
TEST_P(shapes, that_the_standard_tables_cannot_serve_are_left_alone) {
    const shape_case& c = GetParam();
    bytes frame = strip_dht(encode(test_pattern(160, 120, 3), c.e));
    if (c.twelve_bit) {
        std::size_t at = 2;
        while (frame[at + 1] != 0xC0) at += 2 + (std::size_t{frame[at + 2]} << 8 | frame[at + 3]);
        frame[at + 4] = 12;
    }
    scratch_dir dir;
    const std::string path = dir.path("frame.jpg");
    write_file(path, frame);
    const run_result r = run_dhtfix({path});
    EXPECT_EQ(r.status, 0);
    std::string lines = line("read %u bytes\n", frame.size());
    if (c.verdict != nullptr) lines += line("FF DB/DQT tag ofs: %X; ", 20) + c.verdict + "\n";
    EXPECT_EQ(r.out, lines);
    EXPECT_TRUE(read_file(path) == frame);
}

INSTANTIATE_TEST_SUITE_P(frames, shapes, testing::ValuesIn(shape_cases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
