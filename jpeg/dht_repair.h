#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr std::uint8_t marker_prefix = 0xFF;
inline constexpr std::uint8_t dht_code = 0xC4;  // Define Huffman Table(s)
inline constexpr std::uint8_t dqt_code = 0xDB;  // Define Quantization Table(s)
inline constexpr std::uint8_t soi_code = 0xD8;  // Start Of Image
inline constexpr std::uint8_t app0_code = 0xE0;  // APP0 to APP15: application data
inline constexpr std::uint8_t app15_code = 0xEF;
inline constexpr std::uint8_t com_code = 0xFE;  // comment

// The whole file as loaded by the front end, which owns it for the run.
// The stream must be unbuffered: a write that fails then leaves nothing
// pending for the close at exit to push into the file afterwards.
struct file_image {
    std::FILE* stream;
    std::uint8_t* buffer;
    std::uint32_t count;  // bytes actually read; bounds every use of buffer
};

enum class tag_kind { none, dht, dqt };

struct tag {
    tag_kind kind;
    std::uint32_t offset;  // of the 0xFF byte
};

enum class repair_result {
    no_tag,        // neither tag anywhere; file unchanged
    has_dht,       // a DHT tag comes first; file unchanged
    dht_added,     // the standard segment now stands before the DQT tag
    write_failed,  // the rewrite failed; the file was put back as it was
};

// Finds the lowest-offset FF C4 or FF DB pair in the raw bytes. In a file
// that starts with SOI the search begins past the APPn and COM segments
// that directly follow it, and finds nothing if one of them is damaged.
tag find_first_tag(const std::uint8_t* buffer, std::uint32_t count);

// Rewrites the file from offset t on as the standard segment followed by
// buffer[t, count). Returns false if any step failed, after writing the
// original bytes back and cutting the file to count bytes.
bool insert_dht_segment(std::FILE* stream, const std::uint8_t* buffer,
                        std::uint32_t count, std::uint32_t t);

// Scans, prints the line for the tag found, and inserts on a DQT tag.
repair_result add_dht_if_missing(const file_image& image);
