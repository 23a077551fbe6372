#pragma once

#include <cstddef>
#include <cstdint>

// A segment's 16-bit big-endian field.
inline std::uint32_t be16(const std::uint8_t* p) { return std::uint32_t{p[0]} << 8 | p[1]; }

// How much of a first scan the fit check decodes, in blocks: a prototype
// found the deepest mismatch among 608 frames whose own tables were lost at
// 3,745 blocks.
inline constexpr std::uint32_t blocks_to_check = 4096;

// Where a frame's headers stand, as the segment walk found them: each an
// offset of the segment's length bytes, with the segment whole in the data.
struct scan_headers {
    std::size_t frame;               // the SOF0 or SOF1 segment
    std::size_t scan;                // the first SOS segment; its coded data follows it
    std::uint32_t restart_interval;  // in MCUs, from a DRI before the scan; 0: none
};

// True if the first scan decodes with the standard tables: every code is
// in its table, the coefficient index stays within the block, no component
// selects table 2 or 3, the restart markers come in turn after every
// interval with only 1-bits as padding before them, and no marker comes
// before the last MCU. Decodes blocks_to_check blocks, or all the scan
// when it is shorter. Reads buffer[0, count) only.
bool standard_tables_fit(const std::uint8_t* buffer, std::size_t count, const scan_headers& at);
