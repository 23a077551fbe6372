#include <cstdio>

#include <gtest/gtest.h>

#include "rewrite.h"
// After the rule's names, which its byte strings would otherwise shadow.
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
const bytes frame = soi + app0 + dqt + sof0 + sos + zeros(40) + eoi;
// A photo as most encoders write it: DQT, then the DHT at 0x59.
const bytes photo = soi + app0 + dqt + dht + sof0 + sos + zeros(40) + eoi;
// An APP1 segment of 8 bytes whose payload holds FF DB.
const bytes app1_with_dqt_pair{0xFF, 0xE1, 0x00, 0x06, 0x01, 0xFF, 0xDB, 0x02};
const bytes standalone{0xFF, 0x01, 0xFF, 0xD0, 0xFF, 0xD7, 0xFF, 0xD8, 0xFF, 0xD9};  // TEM, RST0, RST7, SOI, EOI

const scan_case scan_cases[] = {
    {"empty", {}, tag_kind::none, 0},
    {"soi_alone", soi, tag_kind::none, 0},
    {"not_a_jpeg", bytes{'a', 'b', 0xFF, 0xDB, 'c'}, tag_kind::none, 0},
    {"dqt_at_start_without_soi", dqt + dht, tag_kind::none, 0},
    {"riff_header_then_frame", bytes{'R', 'I', 'F', 'F'} + zeros(8) + frame, tag_kind::none, 0},
    {"jfif_frame", frame, tag_kind::dqt, 20},
    {"frame_ends_before_sos", soi + app0 + dqt, tag_kind::dqt, 20},
    {"frame_ends_in_fill_bytes", soi + dqt + fill, tag_kind::dqt, 2},
    {"photo_dqt_before_dht", photo, tag_kind::dht, 89},
    {"dht_before_dqt", soi + dht + dqt, tag_kind::dht, 2},
    {"first_of_two_dqts", soi + dqt + app0 + dqt, tag_kind::dqt, 2},
    {"dht_after_sos_too_late", soi + dqt + sos + dht, tag_kind::dqt, 2},
    {"dqt_after_sos_too_late", soi + app0 + sos + dqt, tag_kind::none, 0},
    {"standalone_markers_between", soi + standalone + app0 + standalone + dqt, tag_kind::dqt, 40},
    {"fill_before_markers", soi + fill + app0 + fill + dqt, tag_kind::dqt, 26},
    {"pairs_in_app_payload_passed_over", soi + app1_with_dqt_pair + dht, tag_kind::dht, 10},
    {"pairs_in_dqt_payload_passed_over", soi + dqt_head + bytes{0xFF, 0xC4} + zeros(62) + sos, tag_kind::dqt, 2},
    {"comment_with_both_pairs", soi + app0 + bytes{0xFF, 0xFE, 0x00, 0x06, 0xFF, 0xC4, 0xFF, 0xDB} + dqt,
     tag_kind::dqt, 28},
    {"app_length_exactly_2", soi + bytes{0xFF, 0xE1, 0x00, 0x02} + dqt, tag_kind::dqt, 6},
    {"damaged_byte_where_marker_begins", soi + dqt + zeros(1) + sos, tag_kind::none, 0},
    {"damaged_stuffed_zero_as_marker", soi + bytes{0xFF, 0x00} + dqt, tag_kind::none, 0},
    {"damaged_length_below_2", soi + bytes{0xFF, 0xE1, 0x00, 0x01} + dqt, tag_kind::none, 0},
    {"damaged_length_bytes_cut_short", soi + dqt + bytes{0xFF, 0xE1, 0x00}, tag_kind::none, 0},
    {"damaged_payload_cut_short", soi + app1_with_dqt_pair + bytes{0xFF, 0xE1, 0x00, 0x0A} + dqt_head,
     tag_kind::none, 0},
    {"damaged_dht_cut_short", soi + dqt + dht_head, tag_kind::none, 0},
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
    const bytes tail_dqt = soi + app0 + dqt;
    for (const auto& [file, t] : {std::pair{frame, 20u}, {soi + dqt, 2u}, {tail_dqt, 20u}}) {
        std::FILE* f = loaded_stream(dir.path("frame.jpg"), file);
        const lacking_image image{image_kind::fits, t, 0};
        rewrite_trace trace{};
        ASSERT_EQ(insert_dht_segment(f, file.data(), static_cast<std::uint32_t>(file.size()), &image, 1, trace),
                  repair_result::dht_added);
        EXPECT_EQ(trace.reached, file.size() + 420);
        EXPECT_EQ(trace.needed, file.size() - t + 420);
        EXPECT_EQ(trace.error, 0);
        const bytes after = stream_bytes(f);
        EXPECT_EQ(after, repaired(file, t)) << "tag at " << t;
        const tag again = find_first_tag(after.data(), static_cast<std::uint32_t>(after.size()));
        EXPECT_EQ(again.kind, tag_kind::dht);
        EXPECT_EQ(again.offset, t);
        std::fclose(f);
    }
}

}  // namespace
