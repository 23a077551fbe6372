#include <cstdio>

#include <gtest/gtest.h>

#include "dht_repair.h"
#include "markers.h"

namespace {

struct scan_case {
    const char* name;
    bytes data;
    tag_kind kind;
    std::uint32_t offset;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const scan_case& c, std::ostream* os) { *os << c.name; }

// A JFIF-style frame whose DQT tag stands at offset 20.
const bytes frame = soi + app0 + dqt_head + zeros(64) + sof0 + sos + zeros(40) + eoi;
// An APP1 segment of 8 bytes whose payload holds FF DB.
const bytes app1_with_dqt_pair{0xFF, 0xE1, 0x00, 0x06, 0x01, 0xFF, 0xDB, 0x02};

const scan_case scan_cases[] = {
    {"empty", {}, tag_kind::none, 0},
    {"lone_prefix", {0xFF}, tag_kind::none, 0},
    {"prefix_as_last_byte", zeros(60) + bytes{0xFF}, tag_kind::none, 0},
    {"dht_at_start", {0xFF, 0xC4}, tag_kind::dht, 0},
    {"dqt_at_start", {0xFF, 0xDB}, tag_kind::dqt, 0},
    {"dqt_in_last_two_bytes", zeros(60) + bytes{0xFF, 0xDB}, tag_kind::dqt, 60},
    {"fill_bytes_before_dqt", fill + bytes{0xDB}, tag_kind::dqt, 2},
    {"code_without_prefix", {0xDB, 0xC4, 0xFF, 0x00, 0xDB}, tag_kind::none, 0},
    {"code_before_prefix", {0x00, 0xDB, 0xFF, 0xC4}, tag_kind::dht, 2},
    {"other_markers_only", soi + app0 + sof0 + sos + zeros(8) + eoi, tag_kind::none, 0},
    {"jfif_frame", frame, tag_kind::dqt, 20},
    {"dqt_before_dht", soi + dqt_head + zeros(64) + dht_head, tag_kind::dqt, 2},
    {"dht_before_dqt", soi + dht_head + zeros(28) + dqt_head, tag_kind::dht, 2},
    {"pairs_in_app_payload_passed_over", soi + app1_with_dqt_pair + dht_head, tag_kind::dht, 10},
    {"pairs_in_payload_without_soi", zeros(2) + app1_with_dqt_pair + dht_head, tag_kind::dqt, 7},
    {"pairs_in_payload_after_other_marker", soi + sof0 + app1_with_dqt_pair, tag_kind::dqt, 20},
    {"comment_with_both_pairs", soi + app0 + bytes{0xFF, 0xFE, 0x00, 0x06, 0xFF, 0xC4, 0xFF, 0xDB} + dqt_head,
     tag_kind::dqt, 28},
    {"fill_before_app_and_dqt", soi + fill + app1_with_dqt_pair + fill + dqt_head, tag_kind::dqt, 16},
    {"app_length_exactly_2", soi + bytes{0xFF, 0xE1, 0x00, 0x02} + dqt_head, tag_kind::dqt, 6},
    {"app_payload_to_the_end", soi + app1_with_dqt_pair, tag_kind::none, 0},
    {"app_length_bytes_cut_short", soi + bytes{0xFF, 0xE1, 0x00}, tag_kind::none, 0},
    {"app_payload_cut_short", soi + bytes{0xFF, 0xE1, 0x00, 0x0A} + dqt_head, tag_kind::none, 0},
    {"app_length_below_2", soi + bytes{0xFF, 0xE1, 0x00, 0x01} + dqt_head, tag_kind::none, 0},
    {"soi_then_fill_to_the_end", soi + fill, tag_kind::none, 0},
    {"not_a_jpeg", bytes{'a', 'b', 0xFF, 0xDB, 'c'}, tag_kind::dqt, 2},
    {"repaired_frame", repaired(frame, 20), tag_kind::dht, 20},
};

class scan : public testing::TestWithParam<scan_case> {};

TEST_P(scan, finds_lowest_offset_tag) {
    const scan_case& c = GetParam();
    const tag found = find_first_tag(c.data.data(), static_cast<std::uint32_t>(c.data.size()));
    EXPECT_EQ(found.kind, c.kind);
    if (c.kind != tag_kind::none) {
        EXPECT_EQ(found.offset, c.offset);
    }
}

INSTANTIATE_TEST_SUITE_P(cases, scan, testing::ValuesIn(scan_cases),
                         [](const auto& test) { return std::string(test.param.name); });

// Loads content into an unbuffered stream on path the way the tool does,
// leaving it positioned at the end of what was read.
std::FILE* loaded_stream(const std::string& path, const bytes& content) {
    std::FILE* f = std::fopen(path.c_str(), "w+b");
    std::setvbuf(f, nullptr, _IONBF, 0);
    std::fwrite(content.data(), 1, content.size(), f);
    return f;
}

bytes stream_bytes(std::FILE* f) {
    std::fseek(f, 0, SEEK_END);
    bytes out(static_cast<std::size_t>(std::ftell(f)));
    std::rewind(f);
    EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    return out;
}

TEST(insert_dht_segment, shifts_the_rest_behind_the_segment) {
    scratch_dir dir;
    const bytes tail_dqt = zeros(60) + dqt_head;
    for (const auto& [file, t] : {std::pair{frame, 20u}, {dqt_head + zeros(60), 0u},
                                  {tail_dqt, static_cast<unsigned>(tail_dqt.size() - 5)}}) {
        std::FILE* f = loaded_stream(dir.path("frame.jpg"), file);
        ASSERT_TRUE(insert_dht_segment(f, file.data(), static_cast<std::uint32_t>(file.size()), t));
        const bytes after = stream_bytes(f);
        EXPECT_EQ(after, repaired(file, t)) << "tag at " << t;
        const tag again = find_first_tag(after.data(), static_cast<std::uint32_t>(after.size()));
        EXPECT_EQ(again.kind, tag_kind::dht);
        EXPECT_EQ(again.offset, t);
        std::fclose(f);
    }
}

}  // namespace
