#pragma once

// A thin layer over the system's JPEG library, used as the independent
// encoder and decoder that the repaired files are judged by.

#include <array>
#include <optional>

#include "support.h"

struct picture {
    int width = 0, height = 0, components = 0;
    bytes pixels;  // rows top to bottom, samples interleaved
};

struct encoding {
    int luma_h = 2, luma_v = 2;  // sampling of Y against Cb and Cr: 2x2 is 4:2:0
    int restart_interval = 0;    // in MCUs; 0 writes no restart markers
    int quality = 75;
    bool optimize = false;     // tables fitted to the picture, as ffmpeg and cjpeg -optimize make them
    bool progressive = false;
    bool arithmetic = false;
};

struct huffman_table {
    bytes bits;    // code counts for lengths 1..16
    bytes values;
    bool operator==(const huffman_table& o) const { return bits == o.bits && values == o.values; }
};

// DC 0, DC 1, AC 0, AC 1.
using table_set = std::array<std::optional<huffman_table>, 4>;

// A deterministic test picture with smooth areas, edges and noise, so that
// most Huffman codes get used.
picture test_pattern(int width, int height, int components);

// Encodes with the library's defaults, which use the typical Huffman tables.
bytes encode(const picture& p, const encoding& e);

// What a decode lets pass: by default a warning about corrupt data is an
// error; real camera frames may carry such damage in their scan data.
enum class tolerance { none, corrupt_data };

picture decode(const bytes& jpeg, tolerance allowed = tolerance::none);

// Removes every DHT segment in front of the first scan.
bytes strip_dht(const bytes& jpeg);

// The tables that the file itself defines, as the decoder sees them after
// reading its header; a table the file does not define is empty.
table_set file_tables(const bytes& jpeg);

// The tables the encoder writes by default.
table_set encoder_tables();
