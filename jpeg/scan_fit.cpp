#include "scan_fit.h"

#include <cstring>

#include "dht_repair.h"
#include "standard_dht_segment.h"

namespace {

// Codes up to this long are looked up at once; longer ones, rare in real
// scans, are found by their length.
constexpr int fast_bits = 11;

// One of the four standard tables, ready to decode with. A fast entry holds
// the bits a code takes together with the extra bits after it (the
// coefficient's or difference's size), and for AC codes how far the
// coefficient index moves on: run + 1, 16 for ZRL, 0 for EOB. A length of 0
// sends the lookup to the slow path.
//
// For AC codes an entry also holds every whole symbol that the lookup bits
// hold, up to and including an EOB: their bits, their advance in all, and
// whether an EOB ends them. Most blocks of a camera frame are a few short
// symbols, so this takes two or three at once.
struct code_table {
    std::uint32_t fast[1 << fast_bits];  // length | advance << 8 | run bits << 16 | run advance << 20 | EOB << 26
    std::int32_t max_code[17];   // the largest code of each length; -1: none
    std::int32_t value_base[17]; // index of a length's first value, less its first code
    std::uint8_t values[256];
};

struct symbol {
    bool valid;
    std::uint8_t length;   // code and extra bits
    std::uint8_t advance;
};

// What a symbol of the table means: the bits it takes with its extra bits,
// and, for AC, how far the index moves. DC categories above 11 and AC
// symbols with a size of 0 other than EOB and ZRL cannot occur in 8-bit
// baseline data.
constexpr symbol meaning(bool ac, int code_length, std::uint8_t value) {
    if (!ac) return {value <= 11, static_cast<std::uint8_t>(code_length + value), 0};
    const int run = value >> 4, size = value & 0x0F;
    if (value == 0x00) return {true, static_cast<std::uint8_t>(code_length), 0};
    if (value == 0xF0) return {true, static_cast<std::uint8_t>(code_length), 16};
    return {size != 0 && size <= 10, static_cast<std::uint8_t>(code_length + size),
            static_cast<std::uint8_t>(run + 1)};
}

// Adds to each AC entry the run of whole symbols its lookup bits hold.
constexpr void add_runs(code_table& t) {
    constexpr std::uint32_t all = (1u << fast_bits) - 1;
    for (std::uint32_t index = 0; index <= all; ++index) {
        std::uint32_t used = 0, advance = 0, eob = 0;
        while (used < fast_bits) {
            // The bits not yet used, at the top, zeros after them.
            const std::uint32_t one = t.fast[(index << used) & all] & 0xFFFF;
            const std::uint32_t length = one & 0xFF;
            if (one == 0 || length > fast_bits - used) break;
            used += length;
            if ((one >> 8) == 0) {
                eob = 1;
                break;
            }
            advance += one >> 8;
        }
        t.fast[index] |= used << 16 | advance << 20 | eob << 26;
    }
}

// Builds the table that starts at offset at of the standard segment.
constexpr code_table build(std::size_t at) {
    code_table t{};
    const bool ac = standard_dht_segment[at] >> 4 != 0;
    const std::uint8_t* counts = standard_dht_segment + at + 1;
    const std::uint8_t* values = counts + 16;
    std::int32_t code = 0;
    int index = 0;
    for (int length = 1; length <= 16; ++length) {
        const int n = counts[length - 1];
        t.max_code[length] = n == 0 ? -1 : code + n - 1;
        t.value_base[length] = index - code;
        for (int i = 0; i < n; ++i, ++code, ++index) {
            t.values[index] = values[index];
            if (length > fast_bits) continue;
            const symbol s = meaning(ac, length, values[index]);
            // Every lookup index that starts with this code.
            const int first = code << (fast_bits - length), last = first + (1 << (fast_bits - length));
            for (int j = first; j < last; ++j)
                t.fast[j] = s.valid ? static_cast<std::uint32_t>(s.length | s.advance << 8) : 0;
        }
        code <<= 1;
    }
    if (ac) add_runs(t);
    return t;
}

// The tables' offsets in the segment: DC 0, DC 1, AC 0, AC 1.
constexpr std::size_t table_offset(int which) {
    std::size_t at = 4;
    for (int i = 0; i < which; ++i) {
        std::size_t n = 0;
        for (std::size_t j = 1; j <= 16; ++j) n += standard_dht_segment[at + j];
        at += 17 + n;
    }
    return at;
}

constexpr code_table dc_tables[2] = {build(table_offset(0)), build(table_offset(1))};
constexpr code_table ac_tables[2] = {build(table_offset(2)), build(table_offset(3))};

// Reads the coded data bit by bit, with stuffed bytes taken out. At a
// marker, or at the end of the data, it stops loading and makes up zero
// bits, and counts them, so that a decode that used any of them is known
// to have run past the data. The unread bits stand at the top, so that a
// lookup needs no shift that depends on the count: the decode is a chain
// of lookups, and each link is what it costs.
struct bit_reader {
    const std::uint8_t* next;  // the next byte to load
    const std::uint8_t* end;   // the end of the data
    std::uint64_t bits = 0;    // the top `count` bits are unread, zeros below them
    int count = 0;
    int made_up = 0;           // zero bits at the end of the unread ones that no data holds
    bool stopped = false;      // at a marker (next points at its first FF) or at the end

    // Loads one byte, or stops at a marker; false once stopped.
    bool load_byte() {
        if (next == end) {
            stopped = true;
            return false;
        }
        const std::uint8_t b = *next;
        if (b == marker_prefix) {
            if (end - next < 2 || next[1] != 0x00) {
                stopped = true;
                return false;
            }
            ++next;  // FF 00 is one FF of data
        }
        ++next;
        bits |= std::uint64_t{b} << (56 - count);
        count += 8;
        return true;
    }

    // At least 32 unread bits, made up ones included.
    void fill() {
        while (count <= 56) {
            if (count <= 32 && !stopped && end - next >= 4) {
                std::uint32_t word;
                std::memcpy(&word, next, 4);
                // No FF among the four: none of ~word's bytes is zero.
                const std::uint32_t inverse = ~word;
                if (((inverse - 0x01010101u) & ~inverse & 0x80808080u) == 0) {
                    const std::uint64_t big = std::uint32_t{next[0]} << 24 | std::uint32_t{next[1]} << 16
                                              | std::uint32_t{next[2]} << 8 | next[3];
                    bits |= big << (32 - count);
                    count += 32;
                    next += 4;
                    continue;
                }
            }
            if (stopped || !load_byte()) {
                count += 8;
                made_up += 8;
            }
        }
    }

    std::uint32_t peek(int n) const { return static_cast<std::uint32_t>(bits >> (64 - n)); }
    void skip(int n) {
        bits <<= n;
        count -= n;
    }
    bool overrun() const { return made_up > count; }

    // True if every bit left before the marker is a 1: the padding that
    // ends an interval, a stuffed FF of it included.
    bool only_padding_left() {
        for (;;) {
            fill();
            if (overrun()) return false;
            const int real = count - made_up;
            if (real == 0) return stopped;
            if (real < 64 && (bits >> (64 - real)) != (1ull << real) - 1) return false;
            if (real == 64 && bits != ~0ull) return false;
            if (stopped) return true;
            // All ones so far: drop them and look further.
            bits = real == 64 ? 0 : bits << real;
            count -= real;
        }
    }
};

// Finds a code of more than fast_bits bits.
symbol slow_symbol(const code_table& t, bool ac, std::uint32_t next16) {
    for (int length = fast_bits + 1; length <= 16; ++length) {
        const auto code = static_cast<std::int32_t>(next16 >> (16 - length));
        if (code <= t.max_code[length]) return meaning(ac, length, t.values[t.value_base[length] + code]);
    }
    return {false, 0, 0};
}

// Decodes one block; false on a code that is not in its table or a
// coefficient past the end of the block.
inline bool decode_block(bit_reader& r, const code_table& dc, const code_table& ac) {
    if (r.count < 32) r.fill();
    unsigned entry = dc.fast[r.peek(fast_bits)];
    if (entry != 0) {
        r.skip(static_cast<int>(entry & 0xFF));
    } else {
        const symbol s = slow_symbol(dc, false, r.peek(16));
        if (!s.valid) return false;
        r.skip(s.length);
    }
    unsigned k = 1;
    while (k < 64) {
        if (r.count < 32) r.fill();
        entry = ac.fast[r.peek(fast_bits)];
        // The whole run at once where it cannot reach past the block: a
        // block that ends at index 63 has no EOB, and the bits after it
        // belong to the next block.
        const unsigned run_bits = entry >> 16 & 0x0F, run_advance = entry >> 20 & 0x3F, eob = entry >> 26;
        if (run_bits != 0 && k + run_advance <= 64 - eob) {
            r.skip(static_cast<int>(run_bits));
            k += run_advance;
            if (eob != 0) return true;
            continue;
        }
        entry &= 0xFFFF;
        if (entry == 0) {
            const symbol s = slow_symbol(ac, true, r.peek(16));
            if (!s.valid) return false;
            entry = static_cast<unsigned>(s.length | s.advance << 8);
        }
        r.skip(static_cast<int>(entry & 0xFF));
        const unsigned advance = entry >> 8;
        if (advance == 0) break;  // EOB
        k += advance;
    }
    return k <= 64;
}

struct scan_layout {
    const code_table* dc[10];
    const code_table* ac[10];
    std::uint32_t blocks;   // in an MCU
    std::uint64_t mcus;     // in the scan; 0: not known before its end (DNL)
};

// Reads the frame and scan headers; false where the standard tables cannot
// serve them: other than 8-bit sequential data, table 2 or 3, or headers
// that do not add up.
bool read_layout(const std::uint8_t* frame, const std::uint8_t* scan, scan_layout& out) {
    const std::uint32_t frame_length = be16(frame);
    if (frame_length < 8) return false;
    const std::uint32_t components = frame[7];
    if (frame[2] != 8 || components == 0 || frame_length != 8 + 3 * components) return false;
    const std::uint32_t lines = be16(frame + 3), width = be16(frame + 5);
    if (width == 0) return false;
    std::uint32_t h_max = 1, v_max = 1;
    for (std::uint32_t i = 0; i < components; ++i) {
        const std::uint32_t h = frame[9 + 3 * i] >> 4, v = frame[9 + 3 * i] & 0x0F;
        if (h < 1 || h > 4 || v < 1 || v > 4) return false;
        if (h > h_max) h_max = h;
        if (v > v_max) v_max = v;
    }
    const std::uint32_t scan_length = be16(scan);
    if (scan_length < 3) return false;
    const std::uint32_t selected = scan[2];
    if (selected < 1 || selected > 4 || scan_length != 6 + 2 * selected) return false;
    const std::uint8_t* tail = scan + 3 + 2 * selected;
    if (tail[0] != 0 || tail[1] != 63 || tail[2] != 0) return false;  // Ss, Se, Ah and Al of sequential data
    out.blocks = 0;
    for (std::uint32_t j = 0; j < selected; ++j) {
        const std::uint8_t id = scan[3 + 2 * j], td = scan[4 + 2 * j] >> 4, ta = scan[4 + 2 * j] & 0x0F;
        if (td > 1 || ta > 1) return false;
        for (std::uint32_t k = 0; k < j; ++k)
            if (scan[3 + 2 * k] == id) return false;
        std::uint32_t i = 0;
        while (i < components && frame[8 + 3 * i] != id) ++i;
        if (i == components) return false;
        const std::uint32_t h = frame[9 + 3 * i] >> 4, v = frame[9 + 3 * i] & 0x0F;
        // One component alone is coded block by block over its own size.
        const std::uint32_t in_mcu = selected == 1 ? 1 : h * v;
        if (out.blocks + in_mcu > 10) return false;
        for (std::uint32_t b = 0; b < in_mcu; ++b, ++out.blocks) {
            out.dc[out.blocks] = &dc_tables[td];
            out.ac[out.blocks] = &ac_tables[ta];
        }
        if (selected == 1) {
            const std::uint64_t samples_x = (std::uint64_t{width} * h + h_max - 1) / h_max;
            const std::uint64_t samples_y = (std::uint64_t{lines} * v + v_max - 1) / v_max;
            out.mcus = ((samples_x + 7) / 8) * ((samples_y + 7) / 8);
        }
    }
    if (selected > 1)
        out.mcus = std::uint64_t{(width + 8 * h_max - 1) / (8 * h_max)} * ((lines + 8 * v_max - 1) / (8 * v_max));
    return true;
}

}  // namespace

bool standard_tables_fit(const std::uint8_t* buffer, std::size_t count, const scan_headers& at) {
    scan_layout layout{};
    if (!read_layout(buffer + at.frame, buffer + at.scan, layout)) return false;
    const bool known_end = layout.mcus != 0;
    bit_reader r{buffer + at.scan + be16(buffer + at.scan), buffer + count};
    std::uint64_t blocks = 0;
    for (std::uint64_t mcu = 0; blocks < blocks_to_check && (!known_end || mcu < layout.mcus); ++mcu) {
        if (at.restart_interval != 0 && mcu != 0 && mcu % at.restart_interval == 0) {
            if (!r.only_padding_left()) return false;
            const std::uint8_t* code = r.next;
            while (code != r.end && *code == marker_prefix) ++code;
            const auto expected = static_cast<std::uint8_t>(rst0_code + (mcu / at.restart_interval - 1) % 8);
            if (code == r.end || *code != expected) return false;
            r = bit_reader{code + 1, r.end};
        }
        // Without a line count, the scan ends at the marker after an MCU.
        if (!known_end) {
            bit_reader ahead = r;
            if (ahead.only_padding_left()) return true;
        }
        for (std::uint32_t b = 0; b < layout.blocks; ++b)
            if (!decode_block(r, *layout.dc[b], *layout.ac[b])) return false;
        if (r.overrun()) return false;
        blocks += layout.blocks;
    }
    return true;
}
