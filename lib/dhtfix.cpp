// The library's way in: the rule of jpeg/, on frames in memory.

#include "dhtfix.h"

#include <cstdint>
#include <cstring>

#include "dht_repair.h"

namespace {

constexpr std::size_t segment_size = sizeof standard_dht_segment;

// In-place repairs remember this many images from their first pass; a
// buffer with more has the rest judged again on the second.
constexpr std::size_t remembered = 64;

bool valid(const void* buffer, std::size_t size) { return buffer != nullptr || size == 0; }

dhtfix_verdict verdict_of(verdict kind) {
    switch (kind) {
    case verdict::too_short: return DHTFIX_TOO_SHORT;
    case verdict::not_jpeg: return DHTFIX_NOT_JPEG;
    case verdict::damaged: return DHTFIX_DAMAGED;
    case verdict::has_dht: return DHTFIX_HAS_TABLES;
    case verdict::no_tables: return DHTFIX_NEEDS_NONE;
    default: return DHTFIX_LACKS_TABLES;
    }
}

dhtfix_fit fit_of(image_kind kind) {
    return kind == image_kind::fits ? DHTFIX_FITS : kind == image_kind::unfit ? DHTFIX_UNFIT : DHTFIX_ENDS_EARLY;
}

// Judges the frame into report and hands each image that lacks tables to
// on_image, in order. False if the repaired size would not fit a size_t.
template <class OnImage>
bool judge(const std::uint8_t* frame, std::size_t size, dhtfix_report& report, OnImage&& on_image) {
    const decision first = decide(frame, size);
    report = {verdict_of(first.kind), first.tag, 0, 0, 0, size};
    if (first.kind == verdict::too_short || first.kind == verdict::not_jpeg) return true;
    report.images = 1;
    if (first.kind != verdict::lacks_tables) return true;
    image_walk walk{frame, size};
    for (lacking_image image{}; walk.next(image);) {
        ++report.lacking;
        if (image.kind == image_kind::fits) {
            ++report.fitting;
            if (report.repaired_size > SIZE_MAX - segment_size) return false;
            report.repaired_size += segment_size;
        }
        on_image(image, walk);
    }
    report.images = walk.judged;
    return true;
}

// Puts the runs of a repair one after another at out, as far as capacity
// allows, and counts them all; memmove, since in place they overlap.
struct output {
    std::uint8_t* out;
    std::size_t capacity;
    std::size_t at = 0;
    void operator()(const std::uint8_t* data, std::size_t size) {
        // Nothing is written for an empty run: the buffer may be null.
        if (size != 0 && size <= capacity && at <= capacity - size) std::memmove(out + at, data, size);
        at += size;
    }
};

}  // namespace

extern "C" {

const char* dhtfix_version(void) { return DHTFIX_VERSION; }

const char* dhtfix_status_text(int status) {
    switch (status) {
    case DHTFIX_OK: return "done";
    case DHTFIX_UNCHANGED: return "nothing to do; the bytes are as they were";
    case DHTFIX_BUFFER_TOO_SMALL: return "the output buffer is too small";
    case DHTFIX_INVALID_ARGUMENT: return "invalid argument";
    case DHTFIX_TOO_LARGE: return "the repaired frame would be too large";
    default: return "unknown status";
    }
}

const unsigned char* dhtfix_standard_segment(void) { return standard_dht_segment; }

size_t dhtfix_standard_segment_size(void) { return segment_size; }

int dhtfix_inspect(const void* frame, size_t size, dhtfix_report* report, dhtfix_image* images, size_t capacity) {
    if (!valid(frame, size) || report == nullptr || !valid(images, capacity)) return DHTFIX_INVALID_ARGUMENT;
    std::size_t n = 0;
    const bool sized = judge(static_cast<const std::uint8_t*>(frame), size, *report,
                             [&](const lacking_image& image, const image_walk&) {
                                 if (n < capacity) images[n] = {image.dqt, fit_of(image.kind)};
                                 ++n;
                             });
    return sized ? DHTFIX_OK : DHTFIX_TOO_LARGE;
}

int dhtfix_repair(const void* frame, size_t size, void* out, size_t capacity, size_t* size_out) {
    if (!valid(frame, size) || !valid(out, capacity) || size_out == nullptr) return DHTFIX_INVALID_ARGUMENT;
    const auto from = static_cast<const std::uint8_t*>(frame);
    const auto to = static_cast<std::uint8_t*>(out);
    if (size != 0 && capacity != 0 && from < to + capacity && to < from + size) return DHTFIX_INVALID_ARGUMENT;

    // Each image is judged once, its runs written as soon as it is: a
    // buffer too small still learns the size it needs from the same pass.
    output put{to, capacity};
    std::size_t at = 0;
    dhtfix_report report{};
    const bool sized = judge(from, size, report, [&](const lacking_image& image, const image_walk&) {
        if (image.kind == image_kind::fits) at = put_repaired_image(from, at, image, put);
    });
    if (!sized) return DHTFIX_TOO_LARGE;
    put(from + at, size - at);
    *size_out = put.at;
    if (put.at > capacity) return DHTFIX_BUFFER_TOO_SMALL;
    return report.fitting != 0 ? DHTFIX_OK : DHTFIX_UNCHANGED;
}

int dhtfix_repair_in_place(void* frame, size_t size, size_t capacity, size_t* size_out) {
    if (!valid(frame, capacity) || size > capacity || size_out == nullptr) return DHTFIX_INVALID_ARGUMENT;
    const auto buffer = static_cast<std::uint8_t*>(frame);

    // The first pass finds how far the frame grows, keeping the first
    // images' verdicts and where the walk stood after them.
    lacking_image kept[remembered];
    std::size_t n = 0;
    image_walk after_kept{buffer, size};
    dhtfix_report report{};
    const bool sized = judge(buffer, size, report, [&](const lacking_image& image, const image_walk& walk) {
        if (n < remembered) {
            kept[n++] = image;
            after_kept = walk;
        }
    });
    if (!sized) return DHTFIX_TOO_LARGE;
    *size_out = report.repaired_size;
    if (report.fitting == 0) return DHTFIX_UNCHANGED;
    if (report.repaired_size > capacity) return DHTFIX_BUFFER_TOO_SMALL;

    // Moved to the end of where the repaired frame will stand, the bytes
    // are then copied forward into place. A byte is never written before it
    // is read: the repair puts each byte at most 420 bytes further for
    // each image before it, and the copy sits 420 further for all of them.
    const std::size_t shift = report.repaired_size - size;
    if (size != 0) std::memmove(buffer + shift, buffer, size);
    const std::uint8_t* const source = buffer + shift;
    output put{buffer, capacity};
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (kept[i].kind == image_kind::fits) at = put_repaired_image(source, at, kept[i], put);
    if (n == remembered) {
        image_walk rest = after_kept;
        rest.buffer = source;
        for (lacking_image image{}; rest.next(image);)
            if (image.kind == image_kind::fits) at = put_repaired_image(source, at, image, put);
    }
    put(source + at, size - at);
    return DHTFIX_OK;
}

}  // extern "C"
