#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

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
    char text[64];
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

// Real files from cameras and encoders that nobody here wrote, read where
// they lie (they are not the project's to copy). Their list says what the
// tool must do with each: repair the frames that lack tables, and leave
// every other byte of every other file where it was.
TEST(corpus, frames_are_repaired_and_everything_else_left_alone) {
    const std::filesystem::path corpus = native_path(DHTFIX_CORPUS);
    std::ifstream manifest(corpus / "MANIFEST.txt");
    if (!manifest) SKIP_UNLESS_CI("no corpus beside the project: " DHTFIX_CORPUS);
    scratch_dir dir;
    int files = 0, frames = 0;
    for (std::string entry; std::getline(manifest, entry);) {
        if (entry.empty() || entry[0] == '#') continue;
        const std::string name = entry.substr(0, entry.find('\t'));
        const bool frame = entry.find("\trepair") != std::string::npos;
        SCOPED_TRACE(name);
        const bytes original = read_file((corpus / name).string());
        const std::string path = dir.path(name);
        write_file(path, original);
        const run_result first = run_dhtfix({path});
        EXPECT_EQ(first.status, 0);
        const bytes after = read_file(path);
        ++files;
        if (!frame) {
            EXPECT_TRUE(after == original) << "changed: " << first.out;
            continue;
        }
        ++frames;
        ASSERT_EQ(after.size(), original.size() + 420) << "not repaired: " << first.out;
        // The first byte that differs is the inserted DHT's code, behind its 0xFF.
        const auto t = static_cast<std::size_t>(
            std::mismatch(original.begin(), original.end(), after.begin()).first - original.begin() - 1);
        EXPECT_EQ(first.out, line("read %u bytes\n", original.size()) + line("FF DB/DQT tag ofs: %X; adding DHT\n", t));
        EXPECT_TRUE(after == repaired(original, t));
        const picture want = decode(original, tolerance::corrupt_data), got = decode(after, tolerance::corrupt_data);
        EXPECT_EQ(got.width, want.width);
        EXPECT_TRUE(got.pixels == want.pixels) << "decoded pixels differ";
        const run_result second = run_dhtfix({path});
        EXPECT_EQ(second.out, line("read %u bytes\n", after.size()) + line("FF C4/DHT tag ofs: %X; nothing to do\n", t + 1));
        EXPECT_TRUE(read_file(path) == after);
    }
    EXPECT_EQ(files, 8);
    EXPECT_EQ(frames, 3);
}

}  // namespace
