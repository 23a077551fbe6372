#include "dht_repair.h"

#include <cstring>
#include <optional>

#include "os.h"
#include "standard_dht_segment.h"

namespace {

bool passed_over(std::uint8_t code) {
    return (code >= app0_code && code <= app15_code) || code == com_code;
}

// Where the pair search begins: past the APPn and COM segments right after
// SOI, whose payloads (EXIF and JFIF thumbnails, AVI1 field sizes) hold
// bytes that only look like tags. A length that runs past the data is
// damage, not something to guess around: nothing is returned then.
std::optional<std::uint32_t> scan_start(const std::uint8_t* buffer, std::uint32_t count) {
    if (count < 2 || buffer[0] != marker_prefix || buffer[1] != soi_code) return 0;
    std::uint32_t at = 2;
    for (;;) {
        std::uint32_t code_at = at;  // past any fill bytes
        while (code_at < count && buffer[code_at] == marker_prefix) ++code_at;
        if (code_at == at || code_at == count || !passed_over(buffer[code_at])) return at;
        if (count - code_at < 3) return std::nullopt;
        // Counts its own two bytes, not the marker.
        const std::uint32_t length = std::uint32_t{buffer[code_at + 1]} << 8 | buffer[code_at + 2];
        if (length < 2 || length > count - code_at - 1) return std::nullopt;
        at = code_at + 1 + length;
    }
}

}  // namespace

tag find_first_tag(const std::uint8_t* buffer, std::uint32_t count) {
    const std::optional<std::uint32_t> start = scan_start(buffer, count);
    if (!start || count - *start < 2) return {tag_kind::none, 0};
    // The final byte can only end a tag, never start one.
    const std::uint8_t* const last = buffer + count - 1;
    for (const std::uint8_t* p = buffer + *start; p < last; ++p) {
        p = static_cast<const std::uint8_t*>(
            std::memchr(p, marker_prefix, static_cast<std::size_t>(last - p)));
        if (p == nullptr) break;
        const auto offset = static_cast<std::uint32_t>(p - buffer);
        if (p[1] == dht_code) return {tag_kind::dht, offset};
        if (p[1] == dqt_code) return {tag_kind::dqt, offset};
    }
    return {tag_kind::none, 0};
}

namespace {

bool write_all(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    return std::fwrite(data, 1, size, stream) == size;
}

// Puts the file back as it was loaded. Cutting it first releases whatever
// the failed rewrite added, so on a full disk the write-back needs no new
// space. If this fails as well there is nothing left to try; the caller
// reports the failure either way.
void restore(std::FILE* stream, const std::uint8_t* buffer, std::uint32_t count,
             std::uint32_t t) {
    std::clearerr(stream);
    (void)os_truncate(stream, count);
    if (std::fseek(stream, t, SEEK_SET) == 0) (void)write_all(stream, buffer + t, count - t);
    (void)std::fflush(stream);
}

}  // namespace

bool insert_dht_segment(std::FILE* stream, const std::uint8_t* buffer,
                        std::uint32_t count, std::uint32_t t) {
    // The seek also turns the stream around from reading to writing.
    if (std::fseek(stream, t, SEEK_SET) == 0
        && write_all(stream, standard_dht_segment, sizeof standard_dht_segment)
        && write_all(stream, buffer + t, count - t)
        && std::fflush(stream) == 0)
        return true;
    restore(stream, buffer, count, t);
    return false;
}

repair_result add_dht_if_missing(const file_image& image) {
    const tag found = find_first_tag(image.buffer, image.count);
    switch (found.kind) {
    case tag_kind::none:
        return repair_result::no_tag;
    case tag_kind::dht:
        // Names the code byte, where the DQT line names the 0xFF byte;
        // scripts parse these lines, so both stay as they have always been.
        std::printf("FF C4/DHT tag ofs: %X; nothing to do\n", unsigned{found.offset} + 1);
        return repair_result::has_dht;
    case tag_kind::dqt:
        break;
    }
    std::printf("FF DB/DQT tag ofs: %X; adding DHT\n", unsigned{found.offset});
    return insert_dht_segment(image.stream, image.buffer, image.count, found.offset)
               ? repair_result::dht_added
               : repair_result::write_failed;
}
