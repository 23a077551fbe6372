#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr std::uint8_t marker_prefix = 0xFF;
inline constexpr std::uint8_t tem_code = 0x01;   // temporary use in arithmetic coding; no length
inline constexpr std::uint8_t dht_code = 0xC4;   // Define Huffman Table(s)
inline constexpr std::uint8_t rst0_code = 0xD0;  // RST0 to RST7: restart; no length
inline constexpr std::uint8_t soi_code = 0xD8;   // Start Of Image; no length
inline constexpr std::uint8_t eoi_code = 0xD9;   // End Of Image; no length
inline constexpr std::uint8_t sos_code = 0xDA;   // Start Of Scan: entropy-coded data follows
inline constexpr std::uint8_t dqt_code = 0xDB;   // Define Quantization Table(s)

// The whole file as loaded by the front end, which owns it for the run.
// The stream must be unbuffered: a write that fails then leaves nothing
// pending for a later close to push into the file afterwards.
struct file_image {
    const char* name;  // prefixes each line when several files are named; else nullptr
    std::FILE* stream;
    std::uint8_t* buffer;
    std::uint32_t count;  // bytes actually read; bounds every use of buffer
};

enum class tag_kind { none, dht, dqt };

struct tag {
    tag_kind kind;
    std::uint32_t offset;  // of the marker's 0xFF byte
};

enum class repair_result {
    no_tag,        // not a JPEG, damaged, or no table segment before the scan; unchanged
    has_dht,       // a DHT segment comes before the first scan; unchanged
    dht_added,     // the standard segment now stands before the first DQT
    write_failed,  // the rewrite failed or would not fit; the file is as it was
    damaged,       // the rewrite failed and the file could not be put back
};

// Walks the segments of a JPEG from SOI to the first SOS and tells which
// table segment decides: the first DHT if there is one, else the first
// DQT. A file that does not start with SOI, or whose segments are damaged
// before the scan, yields none.
tag find_first_tag(const std::uint8_t* buffer, std::uint32_t count);

// Rewrites the file from offset t on as the standard segment followed by
// buffer[t, count), if the file's filesystem has room for all it writes.
// Returns dht_added, or write_failed once the file is as it was, or damaged
// if it could not be put back.
repair_result insert_dht_segment(std::FILE* stream, const std::uint8_t* buffer,
                                 std::uint32_t count, std::uint32_t t);

// Puts a file that a rewrite at t changed back as it was loaded: cut to
// count bytes, buffer[t, count) written at t. True if every step held.
bool put_back(std::FILE* stream, const std::uint8_t* buffer, std::uint32_t count, std::uint32_t t);

// Reads the decision, prints the line for it, and inserts on a DQT.
repair_result add_dht_if_missing(const file_image& image);

// Closes the image's stream, which ends its lock. After a rewrite the close
// is part of it: a close that fails (a deferred write error) makes the
// rewrite a failed one, and the file is put back. Returns the run's result
// with that taken into account.
repair_result close_file(file_image& image, repair_result result);
