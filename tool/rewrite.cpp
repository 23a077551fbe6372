#include "rewrite.h"

#include <cstdlib>

#include "os.h"

namespace {

// The rewrite's writes, one after another from where it starts; each goes
// on from where the last one reached, and none after one that failed.
struct sequence {
    std::FILE* stream;
    rewrite_trace& trace;
    bool ok;
    void put(const std::uint8_t* data, std::size_t size) {
        if (!ok) return;
        const std::size_t n = os_write_at(stream, trace.reached, data, size);
        trace.reached += n;
        ok = n == size;
        // Taken before the undo's own calls can change it.
        if (!ok) trace.error = os_error();
    }
};

constexpr std::uint64_t size_limit = std::uint64_t{1} << 31;

const char* line_for(image_kind kind) {
    switch (kind) {
    case image_kind::fits: return "adding DHT";
    case image_kind::unfit: return "standard tables do not fit; left alone";
    default: return "image ends early; left alone";
    }
}

// Every image that lacks tables, in order, in a list that the caller frees;
// false if there was no memory for it.
bool judge_images(const std::uint8_t* buffer, std::uint32_t count, lacking_image*& list, std::uint32_t& n) {
    list = nullptr;
    n = 0;
    std::uint32_t room = 0;
    image_walk walk{buffer, count};
    for (lacking_image image{}; walk.next(image);) {
        if (n == room) {
            room = room == 0 ? 16 : 2 * room;
            void* grown = std::realloc(list, room * sizeof *list);
            if (grown == nullptr) return false;
            list = static_cast<lacking_image*>(grown);
        }
        list[n++] = image;
    }
    return true;
}

}  // namespace

std::uint32_t first_written(const lacking_image* images, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i)
        if (images[i].kind == image_kind::fits)
            return static_cast<std::uint32_t>(images[i].field_sizes != 0 ? images[i].field_sizes : images[i].dqt);
    return 0;
}

bool put_back(std::FILE* stream, const std::uint8_t* buffer, std::uint32_t count, std::uint32_t from,
              std::uint64_t reached) {
    // Judged by what the file holds at the end, not by each call: a size
    // limit refuses the cut of a file that never grew, and the bytes the
    // rewrite wrote can still all go back.
    const std::uint32_t end = reached < count ? static_cast<std::uint32_t>(reached) : count;
    const bool back = end <= from || os_write_at(stream, from, buffer + from, end - from) == end - from;
    os_file_state now{};
    if (os_state(stream, now) && now.size > static_cast<std::int64_t>(count)) (void)os_truncate(stream, count);
    return back && os_state(stream, now) && now.size == static_cast<std::int64_t>(count);
}

repair_result insert_dht_segment(std::FILE* stream, const std::uint8_t* buffer, std::uint32_t count,
                                 const lacking_image* images, std::uint32_t n, rewrite_trace& trace) {
    std::uint32_t fitting = 0;
    for (std::uint32_t i = 0; i < n; ++i) fitting += images[i].kind == image_kind::fits;
    const std::uint32_t from = first_written(images, n);
    trace = {from, 0, 0};

    // A filesystem that copies on write needs room for every byte written,
    // not just the 420 a file grows by for each image, and may then fail the
    // write-back too. It cannot be told from the others, so the rewrite that
    // might not finish is not started anywhere.
    trace.needed = std::uint64_t{sizeof standard_dht_segment} * fitting + (count - from);
    const std::int64_t available = os_space_available(stream);
    if (available >= 0 && static_cast<std::uint64_t>(available) < trace.needed) return repair_result::no_room;

    sequence out{stream, trace, true};
    const auto put = [&out](const std::uint8_t* data, std::size_t size) { out.put(data, size); };
    std::size_t at = from;
    for (std::uint32_t i = 0; i < n; ++i)
        if (images[i].kind == image_kind::fits) at = put_repaired_image(buffer, at, images[i], put);
    out.put(buffer + at, count - at);
    if (out.ok) return repair_result::dht_added;
    return put_back(stream, buffer, count, from, trace.reached) ? repair_result::write_failed : repair_result::damaged;
}

void print_name(std::FILE* out, const char* name) {
    print_escaped(out, name);
    (void)std::fputs(": ", out);
}

void print_escaped(std::FILE* out, const char* name) {
    const char* plain = name;  // the start of the bytes not yet written
    for (const char* p = name;; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const bool escaped = (byte < 0x20 && byte != 0) || byte == 0x7F || (byte == '\\' && !os_backslash_separates);
        if (!escaped && byte != 0) continue;
        (void)std::fwrite(plain, 1, static_cast<std::size_t>(p - plain), out);
        if (byte == 0) break;
        plain = p + 1;
        static const char letters[] = "abtnvfr";  // for 0x07 to 0x0D
        if (byte == '\\') (void)std::fputs("\\\\", out);
        else if (byte >= 0x07 && byte <= 0x0D) (void)std::fprintf(out, "\\%c", letters[byte - 0x07]);
        else (void)std::fprintf(out, "\\x%02x", unsigned{byte});
    }
}

repair_result add_dht_if_missing(file_image& image) {
    const tag found = find_first_tag(image.buffer, image.count);
    if (found.kind == tag_kind::none) return repair_result::no_tag;
    if (found.kind == tag_kind::dht) {
        if (image.name != nullptr) print_name(stdout, image.name);
        // Names the code byte, where the DQT lines name the 0xFF byte;
        // scripts parse these lines, so both stay as they have always been.
        std::printf("FF C4/DHT tag ofs: %X; nothing to do\n", static_cast<unsigned>(found.offset) + 1);
        return repair_result::has_dht;
    }

    lacking_image* images = nullptr;
    std::uint32_t n = 0;
    if (!judge_images(image.buffer, image.count, images, n)) {
        std::free(images);
        return repair_result::no_memory;
    }
    std::uint32_t fitting = 0;
    for (std::uint32_t i = 0; i < n; ++i) fitting += images[i].kind == image_kind::fits;
    // A second run could not load what this one would leave; like a file
    // that is already that large, it gets no line about its tables.
    if (image.count + std::uint64_t{sizeof standard_dht_segment} * fitting >= size_limit) {
        std::free(images);
        return repair_result::too_large;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        if (image.name != nullptr) print_name(stdout, image.name);
        std::printf("FF DB/DQT tag ofs: %X; %s\n", static_cast<unsigned>(images[i].dqt), line_for(images[i].kind));
    }
    repair_result result = repair_result::left_alone;
    os_file_state now{};
    if (fitting != 0 && (!os_state(image.stream, now) || now.size != image.count || now.modified != image.modified)) {
        // Another program wrote to it since the load (one that takes no
        // lock): rewriting from the copy in memory would undo its writes.
        result = repair_result::changed;
    } else if (fitting != 0) {
        image.rewritten_from = first_written(images, n);
        rewrite_trace trace{};
        result = insert_dht_segment(image.stream, image.buffer, image.count, images, n, trace);
        image.rewritten_to = trace.reached;
        image.needed = trace.needed;
        image.error = trace.error;
    }
    std::free(images);
    return result;
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
    image.error = os_error();
    if (spare == nullptr) return repair_result::damaged;
    const bool restored = put_back(spare, image.buffer, image.count, image.rewritten_from, image.rewritten_to);
    return std::fclose(spare) == 0 && restored ? repair_result::write_failed : repair_result::damaged;
}
