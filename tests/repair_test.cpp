#include <cstdio>

#include <gtest/gtest.h>

#include "dhtfix.h"
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
    const tag found = find_first_tag(c.data.data(), c.data.size());
    EXPECT_EQ(found.kind, c.kind);
    if (c.kind != tag_kind::none) {
        EXPECT_EQ(found.offset, c.offset);
    }

    // The library reaches the same verdict, which for a file too short to
    // be rewritten says so first.
    dhtfix_report report{};
    ASSERT_EQ(dhtfix_inspect(c.data.data(), c.data.size(), &report, nullptr, 0), DHTFIX_OK);
    if (c.data.size() < 52) {
        EXPECT_EQ(report.verdict, DHTFIX_TOO_SHORT);
    } else if (c.kind == tag_kind::none) {
        EXPECT_TRUE(report.verdict == DHTFIX_NOT_JPEG || report.verdict == DHTFIX_DAMAGED
                    || report.verdict == DHTFIX_NEEDS_NONE) << report.verdict;
    } else {
        EXPECT_EQ(report.verdict, c.kind == tag_kind::dht ? DHTFIX_HAS_TABLES : DHTFIX_LACKS_TABLES);
        EXPECT_EQ(report.tag_offset, c.offset);
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
        const tag again = find_first_tag(after.data(), after.size());
        EXPECT_EQ(again.kind, tag_kind::dht);
        EXPECT_EQ(again.offset, t);
        std::fclose(f);
    }
}

}  // namespace

namespace {

// Any length, a null pointer with no bytes included; a call it cannot
// serve says so and writes nothing.
TEST(library, takes_any_buffer_and_refuses_what_it_cannot_use) {
    const bytes& f = bare_frame;  // 117 bytes, DQT at 0x14
    dhtfix_report report{};
    std::size_t written = 0;
    EXPECT_EQ(dhtfix_inspect(nullptr, 0, &report, nullptr, 0), DHTFIX_OK);
    EXPECT_EQ(report.verdict, DHTFIX_TOO_SHORT);
    EXPECT_EQ(dhtfix_repair(nullptr, 0, nullptr, 0, &written), DHTFIX_UNCHANGED);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(dhtfix_repair_in_place(nullptr, 0, 0, &written), DHTFIX_UNCHANGED);
    EXPECT_EQ(dhtfix_repair(f.data(), f.size(), nullptr, 0, &written), DHTFIX_BUFFER_TOO_SMALL);
    EXPECT_EQ(written, f.size() + 420);

    bytes room(2 * f.size() + 420);
    for (const int status : {dhtfix_inspect(nullptr, 1, &report, nullptr, 0),
                             dhtfix_inspect(f.data(), f.size(), nullptr, nullptr, 0),
                             dhtfix_inspect(f.data(), f.size(), &report, nullptr, 1),
                             dhtfix_repair(f.data(), f.size(), nullptr, 1, &written),
                             dhtfix_repair(f.data(), f.size(), room.data(), room.size(), nullptr),
                             dhtfix_repair(room.data(), f.size(), room.data() + 100, 600, &written),  // overlapping
                             dhtfix_repair_in_place(nullptr, 1, 1, &written),
                             dhtfix_repair_in_place(room.data(), 10, 9, &written)})
        EXPECT_EQ(status, DHTFIX_INVALID_ARGUMENT);

    for (const int status : {DHTFIX_OK, DHTFIX_UNCHANGED, DHTFIX_BUFFER_TOO_SMALL, DHTFIX_INVALID_ARGUMENT,
                             DHTFIX_TOO_LARGE})
        EXPECT_STRNE(dhtfix_status_text(status), dhtfix_status_text(99)) << status;
    EXPECT_STREQ(dhtfix_version(), DHTFIX_VERSION);
    ASSERT_EQ(dhtfix_standard_segment_size(), 420u);
    EXPECT_EQ(bytes(dhtfix_standard_segment(), dhtfix_standard_segment() + 420), segment);
}

// Every image is listed in order, as far as the caller has room, and a
// stream of more images than an in-place repair remembers comes out as
// one into a buffer does.
TEST(library, lists_the_images_and_repairs_long_streams) {
    const bytes unfit = soi + app0 + dqt + sof0 + sos + bytes{0xFF, 0x00, 0xFF, 0x00} + eoi;
    const bytes three = bare_frame + unfit + bare_frame;
    dhtfix_report report{};
    dhtfix_image images[2] = {};
    ASSERT_EQ(dhtfix_inspect(three.data(), three.size(), &report, images, 2), DHTFIX_OK);
    EXPECT_EQ(report.verdict, DHTFIX_LACKS_TABLES);
    EXPECT_EQ(report.images, 3u);
    EXPECT_EQ(report.lacking, 3u);
    EXPECT_EQ(report.fitting, 2u);
    EXPECT_EQ(report.repaired_size, three.size() + 840);
    EXPECT_EQ(images[0].offset, 0x14u);
    EXPECT_EQ(images[0].fit, DHTFIX_FITS);
    EXPECT_EQ(images[1].offset, bare_frame.size() + 0x14);
    EXPECT_EQ(images[1].fit, DHTFIX_UNFIT);
    EXPECT_EQ(library_repair(three), repaired(bare_frame, 20) + unfit + repaired(bare_frame, 20));

    bytes stream, expected;
    for (int i = 0; i < 100; ++i) {
        stream = stream + (i % 7 == 3 ? unfit : bare_frame);
        expected = expected + (i % 7 == 3 ? unfit : repaired(bare_frame, 20));
    }
    EXPECT_TRUE(library_repair(stream) == expected);
}

}  // namespace
