#include <gtest/gtest.h>

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

}  // namespace
