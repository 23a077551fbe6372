#pragma once

// The rule: which images of a file lack Huffman tables, and which of those
// the standard tables fit. It reads a buffer and nothing else; the file
// rewrite lives with the front end.

#include <cstddef>
#include <cstdint>

#include "standard_dht_segment.h"

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
    std::size_t offset;  // of the marker's 0xFF byte
};

// Walks the segments of a JPEG from SOI to the first SOS and tells which
// table segment decides: the first DHT if there is one, else the first
// DQT. A file that does not start with SOI, or whose segments are damaged
// before the scan, yields none.
tag find_first_tag(const std::uint8_t* buffer, std::size_t count);

// Shorter than this, a file is no frame worth a rewrite and is left alone.
inline constexpr std::size_t minimum_size = 52;

// What a whole file's first image decides for it.
enum class verdict {
    too_short,     // under minimum_size bytes
    not_jpeg,      // no SOI at the start
    damaged,       // damaged before its first scan
    has_dht,       // a DHT before the first scan
    no_tables,     // neither table segment before the first scan
    lacks_tables,  // a DQT and no DHT before it: every image is judged
};

struct decision {
    verdict kind;
    std::size_t tag;  // the deciding DHT's or DQT's 0xFF byte; 0 for the other verdicts
};

decision decide(const std::uint8_t* buffer, std::size_t count);

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
    std::size_t tag;          // its first DQT, for the kinds that lack tables
    std::size_t field_sizes;  // its AVI1 field sizes, to grow by the segment with it; 0: none
    std::size_t next;         // the next image's SOI; 0: no image follows
    std::size_t end;          // just past its EOI; 0: its data ends first
    bool field_header;        // it has AVI1 field sizes, true or not
};

// Judges the image whose SOI stands at start. Images follow one another
// from offset 0: at its next, or not at all.
jpeg_image judge_image(const std::uint8_t* buffer, std::size_t count, std::size_t start);

// After an image, zero bytes and FF fill bytes may pad it apart from the
// next image's SOI; anything else is trailing data, and no image follows.
// Returns where the next SOI stands, from at on: count if the data ends in
// the padding, trailing_data if something else comes first.
inline constexpr std::size_t trailing_data = SIZE_MAX;
std::size_t next_soi(const std::uint8_t* buffer, std::size_t count, std::size_t at);

// The first of the 8 bytes of AVI1 field sizes at offset at, grown by the
// standard segment, big-endian.
void grown_field_sizes(const std::uint8_t* buffer, std::size_t at, std::uint8_t out[8]);

// An image that lacks tables: the offset of its first DQT, which takes the
// standard segment if it fits, and of the AVI1 field sizes that grow with
// it (0: none).
struct lacking_image {
    image_kind kind;  // fits, unfit or ends_early
    std::size_t dqt;
    std::size_t field_sizes;
};

// The images that lack tables, in order, of a file whose first image does:
// each judged when it is asked for, so that nothing need be kept.
struct image_walk {
    const std::uint8_t* buffer;
    std::size_t count;
    std::size_t start = 0;   // the next image's SOI
    bool done = false;
    std::size_t judged = 0;  // images so far, with or without tables

    // The next image that lacks tables; false once there is none.
    bool next(lacking_image& out);
};

// Hands the repaired file's bytes from at up to and including the standard
// segment of an image that fits to put(data, size), run by run, and returns
// where the next run begins. Every byte keeps its order; the field sizes
// grow with their field. The tool writes the runs into the file, the
// library into memory.
template <class Put>
std::size_t put_repaired_image(const std::uint8_t* buffer, std::size_t at, const lacking_image& image, Put&& put) {
    if (image.field_sizes != 0) {
        std::uint8_t sizes[8];
        grown_field_sizes(buffer, image.field_sizes, sizes);
        put(buffer + at, image.field_sizes - at);
        put(static_cast<const std::uint8_t*>(sizes), sizeof sizes);
        at = image.field_sizes + sizeof sizes;
    }
    put(buffer + at, image.dqt - at);
    put(standard_dht_segment, sizeof standard_dht_segment);
    return image.dqt;
}
