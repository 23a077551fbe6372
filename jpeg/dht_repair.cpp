#include "dht_repair.h"

#include "os.h"
#include "standard_dht_segment.h"

namespace {

bool has_no_length(std::uint8_t code) {
    return code == tem_code || (code >= rst0_code && code <= eoi_code);
}

}  // namespace

// Segments are read, not raw byte pairs, because a photo that already has
// its tables must not have its bytes moved: multi-picture files, maker-note
// previews and trailers hold offsets that nothing here could move with
// them. Payloads (thumbnails, AVI1 field sizes) are passed over by their
// lengths, and a length that runs past the data is damage, never a reason
// to guess: nothing is found then, so nothing is written.
tag find_first_tag(const std::uint8_t* buffer, std::uint32_t count) {
    constexpr tag none{tag_kind::none, 0};
    if (count < 2 || buffer[0] != marker_prefix || buffer[1] != soi_code) return none;
    tag first_dqt = none;
    std::uint32_t at = 2;
    while (at < count) {
        if (buffer[at] != marker_prefix) return none;
        std::uint32_t code_at = at + 1;  // past any fill bytes
        while (code_at < count && buffer[code_at] == marker_prefix) ++code_at;
        if (code_at == count) break;
        const std::uint8_t code = buffer[code_at];
        const std::uint32_t marker = code_at - 1;
        if (code == 0x00) return none;  // a stuffed zero belongs in scan data only
        if (code == sos_code) break;
        if (has_no_length(code)) {
            at = code_at + 1;
            continue;
        }
        if (count - code_at < 3) return none;
        // Counts its own two bytes, not the marker.
        const std::uint32_t length = std::uint32_t{buffer[code_at + 1]} << 8 | buffer[code_at + 2];
        if (length < 2 || length > count - code_at - 1) return none;
        if (code == dht_code) return {tag_kind::dht, marker};
        if (code == dqt_code && first_dqt.kind == tag_kind::none) first_dqt = {tag_kind::dqt, marker};
        at = code_at + 1 + length;
    }
    return first_dqt;
}

namespace {

bool write_all(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    return std::fwrite(data, 1, size, stream) == size;
}

}  // namespace

bool put_back(std::FILE* stream, const std::uint8_t* buffer, std::uint32_t count, std::uint32_t t) {
    std::clearerr(stream);
    // Cutting first releases what the failed rewrite added, so the
    // write-back needs no new space where the filesystem overwrites in place.
    return os_truncate(stream, count) && std::fseek(stream, t, SEEK_SET) == 0
           && write_all(stream, buffer + t, count - t) && std::fflush(stream) == 0;
}

repair_result insert_dht_segment(std::FILE* stream, const std::uint8_t* buffer,
                                 std::uint32_t count, std::uint32_t t) {
    // A filesystem that copies on write needs room for every byte written,
    // not just the 420 the file grows by, and may then fail the write-back
    // too. It cannot be told from the others, so the rewrite that might not
    // finish is not started anywhere.
    const std::uint64_t writes = std::uint64_t{sizeof standard_dht_segment} + (count - t);
    const std::int64_t available = os_space_available(stream);
    if (available >= 0 && static_cast<std::uint64_t>(available) < writes) return repair_result::write_failed;

    // The seek also turns the stream around from reading to writing.
    if (std::fseek(stream, t, SEEK_SET) == 0
        && write_all(stream, standard_dht_segment, sizeof standard_dht_segment)
        && write_all(stream, buffer + t, count - t) && std::fflush(stream) == 0)
        return repair_result::dht_added;
    return put_back(stream, buffer, count, t) ? repair_result::write_failed : repair_result::damaged;
}

repair_result add_dht_if_missing(const file_image& image) {
    const tag found = find_first_tag(image.buffer, image.count);
    if (found.kind != tag_kind::none && image.name != nullptr) std::printf("%s: ", image.name);
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
    return insert_dht_segment(image.stream, image.buffer, image.count, found.offset);
}

repair_result close_file(file_image& image, repair_result result) {
    std::FILE* const stream = image.stream;
    image.stream = nullptr;
    // Nothing was written, or what was is already undone or lost.
    if (result != repair_result::dht_added) {
        (void)std::fclose(stream);
        return result;
    }
    // Holds the file and its lock past the close, for the write-back.
    std::FILE* const spare = os_duplicate(stream);
    if (std::fclose(stream) == 0) {
        if (spare != nullptr) (void)std::fclose(spare);
        return result;
    }
    if (spare == nullptr) return repair_result::damaged;
    const tag found = find_first_tag(image.buffer, image.count);
    const bool restored = put_back(spare, image.buffer, image.count, found.offset);
    return std::fclose(spare) == 0 && restored ? repair_result::write_failed : repair_result::damaged;
}
