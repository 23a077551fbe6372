// A file may hold several images back to back: a raw Motion-JPEG stream, an
// interlaced capture frame stored as two fields, a camera that wrote two
// SOIs. Every one of them is judged, because a line must never call a file
// repaired when only its first picture was. And the first scan is decoded
// before anything is written, because tables that do not fit turn a frame
// that decoders refuse into a wrong picture that nothing flags.

#include "dht_repair.h"

#include <cstring>

#include "scan_fit.h"
#include "standard_dht_segment.h"

namespace {

bool has_no_length(std::uint8_t code) {
    return code == tem_code || (code >= rst0_code && code <= eoi_code);
}

bool is_frame_header(std::uint8_t code) {
    return code >= sof0_code && code <= 0xCF && code != dht_code && code != 0xC8 && code != 0xCC;
}

bool is_arithmetic(std::uint8_t code) { return (code >= 0xC9 && code <= 0xCB) || code >= 0xCD; }

std::uint32_t be32(const std::uint8_t* p) { return be16(p) << 16 | be16(p + 2); }

// A segment that runs past the data is damage in the first image, which
// decides as it always has, and the end of the data in a later one.
enum class header_end { scan, cut, runs_past, damaged, dht };

// What an image holds in front of its first scan.
struct header {
    header_end end;
    std::size_t sos;  // the code byte of the first SOS, once end is scan
    tag first_dht, first_dqt;
    std::uint8_t frame_code;  // of the first SOF; 0: none
    std::size_t frame;        // its length bytes
    std::uint32_t restart_interval;
    std::size_t field_sizes;  // in the first AVI1 APP0 of a field; 0: none
};

// Walks from the SOI at start to the first SOS. Segments are read, not raw
// byte pairs, because a photo that already has its tables must not have its
// bytes moved: multi-picture files, maker-note previews and trailers hold
// offsets that nothing here could move with them. Payloads (thumbnails,
// AVI1 field sizes) are passed over by their lengths, and a length that
// runs past the data is damage, never a reason to guess.
header walk_header(const std::uint8_t* buffer, std::size_t count, std::size_t start, bool stop_at_dht) {
    header h{};
    h.first_dht = h.first_dqt = {tag_kind::none, 0};
    std::size_t at = start + 2;
    h.end = header_end::cut;
    while (at < count) {
        if (buffer[at] != marker_prefix) {
            h.end = header_end::damaged;
            return h;
        }
        std::size_t code_at = at + 1;  // past any fill bytes
        while (code_at < count && buffer[code_at] == marker_prefix) ++code_at;
        if (code_at == count) break;
        const std::uint8_t code = buffer[code_at];
        const std::size_t marker = code_at - 1;
        if (code == 0x00) {  // a stuffed zero belongs in scan data only
            h.end = header_end::damaged;
            return h;
        }
        if (code == sos_code) {
            h.end = header_end::scan;
            h.sos = code_at;
            return h;
        }
        if (has_no_length(code)) {
            at = code_at + 1;
            continue;
        }
        // Counts its own two bytes, not the marker.
        if (count - code_at < 3) {
            h.end = header_end::runs_past;
            return h;
        }
        const std::size_t length = be16(buffer + code_at + 1);
        if (length < 2 || length > count - code_at - 1) {
            h.end = length < 2 ? header_end::damaged : header_end::runs_past;
            return h;
        }
        if (code == dht_code && h.first_dht.kind == tag_kind::none) {
            h.first_dht = {tag_kind::dht, marker};
            if (stop_at_dht) {
                h.end = header_end::dht;
                return h;
            }
        }
        if (code == dqt_code && h.first_dqt.kind == tag_kind::none) h.first_dqt = {tag_kind::dqt, marker};
        if (is_frame_header(code) && h.frame_code == 0) {
            h.frame_code = code;
            h.frame = code_at + 1;
        }
        if (code == dri_code && length == 4) h.restart_interval = be16(buffer + code_at + 3);
        // FF E0, length 16, "AVI1", a field's polarity, a reserved byte,
        // then the two sizes.
        if (code == app0_code && length == 16 && h.field_sizes == 0
            && std::memcmp(buffer + code_at + 3, "AVI1", 4) == 0
            && (buffer[code_at + 7] == 1 || buffer[code_at + 7] == 2))
            h.field_sizes = code_at + 9;
        at = code_at + 1 + length;
    }
    return h;
}

// Where a scan's coded data ends: the first byte of the next marker that
// is not a stuffed zero or a restart, fill bytes included; count if none.
std::size_t end_of_coded_data(const std::uint8_t* buffer, std::size_t count, std::size_t at) {
    while (at < count) {
        const void* found = std::memchr(buffer + at, marker_prefix, count - at);
        if (found == nullptr) return count;
        const auto prefix = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - buffer);
        std::size_t code_at = prefix + 1;
        while (code_at < count && buffer[code_at] == marker_prefix) ++code_at;
        if (code_at == count) return count;
        const std::uint8_t code = buffer[code_at];
        if (code != 0x00 && (code < rst0_code || code > rst0_code + 7)) return prefix;
        at = code_at + 1;
    }
    return count;
}

enum class body_end { eoi, cut };

struct body {
    body_end end;
    std::size_t at;  // past the EOI; where the data ran out; or at the SOI that cut it short
};

// Walks from the first SOS over scans and the segments between them (more
// scans, DHT, DQT, DRI, DNL) to EOI. An SOI where a marker is due means the
// image was cut short there, as when a camera drops the end of a frame;
// anything else that does not read as a segment ends it early too.
body walk_body(const std::uint8_t* buffer, std::size_t count, std::size_t sos) {
    std::size_t code_at = sos;
    for (;;) {
        const std::uint8_t code = buffer[code_at];
        if (code == eoi_code) return {body_end::eoi, code_at + 1};
        if (code == soi_code) return {body_end::cut, code_at - 1};
        std::size_t at = code_at + 1;
        if (!has_no_length(code)) {
            if (code == 0x00 || count - code_at < 3) return {body_end::cut, count};
            const std::size_t length = be16(buffer + code_at + 1);
            if (length < 2 || length > count - code_at - 1) return {body_end::cut, count};
            at = code_at + 1 + length;
            if (code == sos_code) at = end_of_coded_data(buffer, count, at);
        }
        if (at >= count || buffer[at] != marker_prefix) return {body_end::cut, count};
        code_at = at + 1;
        while (code_at < count && buffer[code_at] == marker_prefix) ++code_at;
        if (code_at == count) return {body_end::cut, count};
    }
}

// The first image's verdict, whatever the file's size.
decision first_image(const std::uint8_t* buffer, std::size_t count) {
    if (count < 2 || buffer[0] != marker_prefix || buffer[1] != soi_code) return {verdict::not_jpeg, 0};
    const header h = walk_header(buffer, count, 0, true);
    if (h.end == header_end::damaged || h.end == header_end::runs_past) return {verdict::damaged, 0};
    if (h.end == header_end::dht) return {verdict::has_dht, h.first_dht.offset};
    if (h.first_dqt.kind == tag_kind::dqt) return {verdict::lacks_tables, h.first_dqt.offset};
    return {verdict::no_tables, 0};
}

}  // namespace

tag find_first_tag(const std::uint8_t* buffer, std::size_t count) {
    const decision d = first_image(buffer, count);
    if (d.kind == verdict::has_dht) return {tag_kind::dht, d.tag};
    if (d.kind == verdict::lacks_tables) return {tag_kind::dqt, d.tag};
    return {tag_kind::none, 0};
}

decision decide(const std::uint8_t* buffer, std::size_t count) {
    if (count < minimum_size) return {verdict::too_short, 0};
    return first_image(buffer, count);
}

jpeg_image judge_image(const std::uint8_t* buffer, std::size_t count, std::size_t start) {
    jpeg_image image{image_kind::damaged, 0, 0, 0, 0, false};
    const header h = walk_header(buffer, count, start, false);
    if (h.end == header_end::damaged) return image;
    image.tag = h.first_dqt.offset;

    body b{body_end::cut, count};
    if (h.end == header_end::scan) b = walk_body(buffer, count, h.sos);
    if (b.end == body_end::eoi) image.end = b.at;
    image.field_header = h.field_sizes != 0;
    std::size_t field_end = 0;  // where the next field would begin, padding included
    if (b.end == body_end::cut && b.at < count) {
        image.next = b.at;
    } else if (b.end == body_end::eoi) {
        const std::size_t soi = next_soi(buffer, count, b.at);
        if (soi != trailing_data) field_end = soi;
        if (soi != trailing_data && soi != count) image.next = soi;
    }

    if (h.first_dht.kind != tag_kind::none) image.kind = image_kind::has_dht;
    else if (h.first_dqt.kind == tag_kind::none) image.kind = image_kind::no_tables;
    else if (is_arithmetic(h.frame_code)) image.kind = image_kind::arithmetic;
    else if (b.end == body_end::cut) image.kind = image_kind::ends_early;
    else if (h.frame_code != sof0_code && h.frame_code != sof1_code) image.kind = image_kind::unfit;
    else if (!standard_tables_fit(buffer, count, {h.frame, h.sos + 1, h.restart_interval})) image.kind = image_kind::unfit;
    else image.kind = image_kind::fits;

    // The sizes grow with the field only if both described it before, and
    // only while the grown ones still fit their 32 bits.
    if (image.kind == image_kind::fits && h.field_sizes != 0 && field_end != 0
        && be32(buffer + h.field_sizes) == field_end - start && be32(buffer + h.field_sizes + 4) == b.at - start
        && field_end - start <= UINT32_MAX - sizeof standard_dht_segment)
        image.field_sizes = h.field_sizes;
    return image;
}

std::size_t next_soi(const std::uint8_t* buffer, std::size_t count, std::size_t at) {
    const std::size_t from = at;
    while (at < count && (buffer[at] == 0x00 || buffer[at] == marker_prefix)) ++at;
    if (at == count) return count;
    if (buffer[at] == soi_code && at > from && buffer[at - 1] == marker_prefix) return at - 1;
    return trailing_data;
}

void grown_field_sizes(const std::uint8_t* buffer, std::size_t at, std::uint8_t out[8]) {
    for (int i = 0; i < 2; ++i) {
        const std::uint32_t v = be32(buffer + at + 4 * i) + sizeof standard_dht_segment;
        for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<std::uint8_t>(v >> (24 - 8 * j));
    }
}

bool image_walk::next(lacking_image& out) {
    while (!done) {
        const jpeg_image image = judge_image(buffer, count, start);
        if (image.kind == image_kind::damaged) {
            done = true;
            return false;
        }
        ++judged;
        done = image.next == 0;
        start = image.next;
        if (image.kind == image_kind::fits || image.kind == image_kind::unfit || image.kind == image_kind::ends_early) {
            out = {image.kind, image.tag, image.field_sizes};
            return true;
        }
    }
    return false;
}
