#pragma once

#include <cstddef>
#include <cstdint>

#include "standard_dht_segment.h"
#include "support.h"

inline bytes zeros(std::size_t n) { return bytes(n, 0x00); }

// Small byte strings to build test files from.
inline const bytes soi{0xFF, 0xD8};
inline const bytes eoi{0xFF, 0xD9};
inline const bytes app0{0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00,
                        0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
inline const bytes dqt_head{0xFF, 0xDB, 0x00, 0x43, 0x00};
inline const bytes dht_head{0xFF, 0xC4, 0x00, 0x1F, 0x00};
inline const bytes sof0{0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x10, 0x01, 0x01, 0x11, 0x00};
inline const bytes sos{0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
inline const bytes fill{0xFF, 0xFF, 0xFF};
// Whole segments: the heads above with their payloads.
inline const bytes dqt = dqt_head + bytes(64, 0x00);  // 69 bytes
inline const bytes dht = dht_head + bytes(28, 0x00);  // 33 bytes
// The scan of the 16x16 grey frame that sof0 declares, coded with the
// standard tables: four blocks, each a DC difference of 0 (00) and EOB (1010).
inline const bytes four_blocks{0x28, 0xA2, 0x8A};
// A JFIF frame without tables that the standard ones fit, its DQT tag at
// 0x14, with tail bytes after its last block, which are not decoded.
inline bytes frame_of(std::size_t tail) { return soi + app0 + dqt + sof0 + sos + four_blocks + zeros(tail) + eoi; }
inline const bytes bare_frame = frame_of(0);  // 117 bytes
inline const bytes segment(standard_dht_segment, standard_dht_segment + sizeof standard_dht_segment);

inline bytes slice(const bytes& b, std::size_t from, std::size_t to) {
    return bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

// What a correct repair makes of file at offset t.
inline bytes repaired(const bytes& file, std::size_t t) {
    return slice(file, 0, t) + segment + slice(file, t, file.size());
}
