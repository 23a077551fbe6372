#pragma once

// The rule: which images of a file lack Huffman tables, and which of those
// the standard tables fit. It reads a buffer and nothing else; the file
// rewrite lives with the front end.

#include <cstdint>

inline constexpr std::uint8_t marker_prefix = 0xFF;
inline constexpr std::uint8_t tem_code = 0x01;   // temporary use in arithmetic coding; no length
inline constexpr std::uint8_t sof0_code = 0xC0;  // Start Of Frame, baseline
inline constexpr std::uint8_t sof1_code = 0xC1;  // Start Of Frame, extended sequential
inline constexpr std::uint8_t dht_code = 0xC4;   // Define Huffman Table(s)
inline constexpr std::uint8_t rst0_code = 0xD0;  // RST0 to RST7: restart; no length
inline constexpr std::uint8_t soi_code = 0xD8;   // Start Of Image; no length
inline constexpr std::uint8_t eoi_code = 0xD9;   // End Of Image; no length
inline constexpr std::uint8_t sos_code = 0xDA;   // Start Of Scan: entropy-coded data follows
inline constexpr std::uint8_t dqt_code = 0xDB;   // Define Quantization Table(s)
inline constexpr std::uint8_t dri_code = 0xDD;   // Define Restart Interval
inline constexpr std::uint8_t app0_code = 0xE0;  // APP0: JFIF, AVI1 field sizes

enum class tag_kind { none, dht, dqt };

struct tag {
    tag_kind kind;
    std::uint32_t offset;  // of the marker's 0xFF byte
};

// Walks the segments of a JPEG from SOI to the first SOS and tells which
// table segment decides: the first DHT if there is one, else the first
// DQT. A file that does not start with SOI, or whose segments are damaged
// before the scan, yields none.
tag find_first_tag(const std::uint8_t* buffer, std::uint32_t count);

enum class image_kind {
    has_dht,     // a DHT before its first scan; left as it is
    no_tables,   // neither table segment before its first scan; left as it is
    arithmetic,  // arithmetic-coded: it needs no Huffman tables
    damaged,     // damaged before its first scan: it and all after it are trailing data
    fits,        // lacks tables, and the standard ones decode its first scan
    unfit,       // lacks tables, and the standard ones cannot stand in for them
    ends_early,  // lacks tables, and its data ends before its EOI: not judged
};

struct jpeg_image {
    image_kind kind;
    std::uint32_t tag;          // its first DQT, for the kinds that lack tables
    std::uint32_t field_sizes;  // its AVI1 field sizes, to grow by the segment with it; 0: none
    std::uint32_t next;         // the next image's SOI; 0: no image follows
};

// Judges the image whose SOI stands at start. Images follow one another
// from offset 0: at its next, or not at all.
jpeg_image judge_image(const std::uint8_t* buffer, std::uint32_t count, std::uint32_t start);

// The first of the 8 bytes of AVI1 field sizes at offset at, grown by the
// standard segment, big-endian.
void grown_field_sizes(const std::uint8_t* buffer, std::uint32_t at, std::uint8_t out[8]);
