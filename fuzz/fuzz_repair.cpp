// Fuzzes the segment walk, the fit check, the in-place insertion and the
// library. Besides not crashing, the walk must agree with a plain one
// written out separately, image by image, and the rewritten file must be
// the original with the standard segment in front of the DQT of each image
// that fits, and the repaired first image must then find its DHT. The
// library, given the input in a buffer exactly its size, must reach the
// tool's verdict, and its repair into a buffer and in place must both make
// the tool's bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "dht_repair.h"
#include "dhtfix.h"
#include "rewrite.h"
#include "standard_dht_segment.h"

namespace {

constexpr std::size_t size_cap = 1 << 20;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

// The walk written out plainly, with the marker codes spelled out: from
// SOI, marker by marker (fill bytes first), lengthless ones (01, D0 to D9)
// by two bytes, the rest by their lengths, until SOS (DA) or the end; the
// first DHT decides, else the first DQT; any damage finds nothing.
tag reference_scan(const std::uint8_t* data, std::uint32_t count) {
    const tag none{tag_kind::none, 0};
    if (count < 2 || data[0] != 0xFF || data[1] != 0xD8) return none;
    tag dqt = none;
    std::uint64_t at = 2;
    while (at < count) {
        if (data[at] != 0xFF) return none;
        std::uint64_t code = at + 1;
        while (code < count && data[code] == 0xFF) ++code;
        if (code == count || data[code] == 0xDA) break;
        if (data[code] == 0x00) return none;
        if (data[code] == 0x01 || (data[code] >= 0xD0 && data[code] <= 0xD9)) {
            at = code + 1;
            continue;
        }
        if (code + 2 >= count) return none;
        const std::uint64_t end = code + 1 + data[code + 1] * 256u + data[code + 2];
        if (end < code + 3 || end > count) return none;
        const auto marker = static_cast<std::uint32_t>(code - 1);
        if (data[code] == 0xC4) return {tag_kind::dht, marker};
        if (data[code] == 0xDB && dqt.kind == tag_kind::none) dqt = {tag_kind::dqt, marker};
        at = end;
    }
    return dqt;
}

// One image as a plain walk sees it: whether it is damaged before its
// first scan, lacks tables (a DQT and no DHT there, and not
// arithmetic-coded), reached its EOI, and where the next one starts (0:
// none). Markers are spelled out: D8 SOI, D9 EOI, DA SOS, C4 DHT, DB DQT.
struct plain_image {
    bool damaged, lacks, whole;
    std::uint64_t next;
};

bool lengthless(std::uint8_t code) { return code == 0x01 || (code >= 0xD0 && code <= 0xD9); }

plain_image reference_image(const std::uint8_t* data, std::uint64_t count, std::uint64_t start) {
    plain_image image{false, false, false, 0};
    bool header = true, dht = false, dqt = false, frame = false, arithmetic = false;
    std::uint64_t at = start + 2;
    while (at < count) {
        if (data[at] != 0xFF) {
            image.damaged = header;
            break;
        }
        std::uint64_t code = at + 1;
        while (code < count && data[code] == 0xFF) ++code;
        if (code == count) break;
        const std::uint8_t c = data[code];
        if (header && c == 0x00) {
            image.damaged = true;
            break;
        }
        if (!header && c == 0xD9) {
            image.whole = true;
            at = code + 1;
            break;
        }
        if (!header && c == 0xD8) {
            image.next = code - 1;
            break;
        }
        if (lengthless(c)) {
            at = code + 1;
            continue;
        }
        if (c == 0x00 || code + 2 >= count) break;
        const std::uint64_t length = data[code + 1] * 256u + data[code + 2];
        if (length < 2) {
            image.damaged = header && c != 0xDA;  // a scan header's length is judged with the scan
            break;
        }
        if (code + 1 + length > count) break;
        if (header) {
            dht = dht || c == 0xC4;
            dqt = dqt || c == 0xDB;
            // The first frame header tells: C9 to CB and CD to CF are arithmetic.
            if (!frame && c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC) {
                frame = true;
                arithmetic = (c >= 0xC9 && c <= 0xCB) || c >= 0xCD;
            }
            if (c == 0xDA) header = false;
        }
        at = code + 1 + length;
        if (c != 0xDA) continue;
        for (;;) {  // coded data: up to an FF that is not FF 00, RST0 to RST7 or a fill byte
            while (at < count && data[at] != 0xFF) ++at;
            std::uint64_t after = at + 1;
            while (after < count && data[after] == 0xFF) ++after;
            if (after >= count) {
                at = count;
                break;
            }
            if (data[after] != 0x00 && (data[after] < 0xD0 || data[after] > 0xD7)) break;
            at = after + 1;
        }
    }
    image.lacks = !image.damaged && dqt && !dht && !arithmetic;
    if (image.whole) {
        std::uint64_t pad = at;
        while (pad < count && (data[pad] == 0x00 || data[pad] == 0xFF)) ++pad;
        if (pad < count && pad > at && data[pad] == 0xD8 && data[pad - 1] == 0xFF) image.next = pad - 1;
    }
    return image;
}

// An in-memory file, unbuffered like the tool's, reused across inputs.
std::FILE* scratch_file() {
    static std::FILE* f = [] {
#ifdef __linux__
        std::FILE* s = fdopen(memfd_create("fuzz_repair", 0), "w+b");
#else
        std::FILE* s = std::tmpfile();
#endif
        check(s != nullptr, "memfd stream");
        std::setvbuf(s, nullptr, _IONBF, 0);
        return s;
    }();
    return f;
}

// The library's repair of the input, into a buffer and in place, each
// just the size that inspect gives; they must agree with each other.
std::vector<std::uint8_t> library_repair(const std::uint8_t* data, std::size_t size, dhtfix_report& report) {
    check(dhtfix_inspect(data, size, &report, nullptr, 0) == DHTFIX_OK, "inspect");
    const int done = report.fitting != 0 ? DHTFIX_OK : DHTFIX_UNCHANGED;
    std::vector<std::uint8_t> out(report.repaired_size), in_place(report.repaired_size);
    std::size_t written = 0;
    check(dhtfix_repair(data, size, out.data(), out.size(), &written) == done && written == out.size(), "repair");
    if (size != 0) std::memcpy(in_place.data(), data, size);
    check(dhtfix_repair_in_place(in_place.data(), size, in_place.size(), &written) == done
              && written == in_place.size(),
          "repair in place");
    check(in_place == out, "in place as into a buffer");
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > size_cap) return 0;
    const auto count = static_cast<std::uint32_t>(size);
    const tag found = find_first_tag(data, count);
    const tag expected = reference_scan(data, count);
    check(found.kind == expected.kind && found.offset == expected.offset, "scan agrees");
    dhtfix_report report{};
    const std::vector<std::uint8_t> library = library_repair(data, size, report);
    const bool unchanged = library.size() == size && (size == 0 || std::memcmp(library.data(), data, size) == 0);
    if (size < minimum_size || found.kind != tag_kind::dqt) {
        check(unchanged && report.fitting == 0, "the library leaves what the tool leaves");
        check(size < minimum_size ? report.verdict == DHTFIX_TOO_SHORT
                                  : (report.verdict == DHTFIX_HAS_TABLES) == (found.kind == tag_kind::dht),
              "the library's verdict");
        return 0;
    }
    check(report.verdict == DHTFIX_LACKS_TABLES && report.tag_offset == found.offset, "the library lacks tables too");

    std::vector<lacking_image> lacking;
    bool first_fits = false;
    for (std::size_t start = 0;;) {
        const jpeg_image image = judge_image(data, count, start);
        const plain_image plain = reference_image(data, count, start);
        check((image.kind == image_kind::damaged) == plain.damaged, "damage agrees");
        const bool lacks = image.kind == image_kind::fits || image.kind == image_kind::unfit
                           || image.kind == image_kind::ends_early;
        check(lacks == plain.lacks, "lacking tables agrees");
        check(!lacks || (image.kind == image_kind::ends_early) == !plain.whole, "the end agrees");
        check(image.next == plain.next, "the next image agrees");
        if (lacks) {
            check(data[image.tag] == 0xFF && data[image.tag + 1] == 0xDB, "a DQT is named");
            lacking.push_back({image.kind, image.tag, image.field_sizes});
            if (start == 0) first_fits = image.kind == image_kind::fits;
        }
        if (image.kind == image_kind::damaged || image.next == 0) break;
        check(image.next > start, "images move forward");
        start = image.next;
    }
    const auto n = static_cast<std::uint32_t>(lacking.size());
    check(report.lacking == n, "the library finds as many images");
    std::vector<dhtfix_image> listed(n);
    check(dhtfix_inspect(data, size, &report, listed.data(), n) == DHTFIX_OK, "inspect with the list");
    for (std::uint32_t i = 0; i < n; ++i)
        check(listed[i].offset == lacking[i].dqt
                  && (listed[i].fit == DHTFIX_FITS) == (lacking[i].kind == image_kind::fits),
              "the library lists the same images");
    if (first_written(lacking.data(), n) == 0) {
        check(unchanged, "the library leaves unfit images alone");
        return 0;
    }

    // What the rewrite must leave: every byte in order, the segment in
    // front of each fitting DQT, and grown field sizes.
    std::vector<std::uint8_t> want;
    std::size_t at = 0;
    for (const lacking_image& image : lacking) {
        if (image.kind != image_kind::fits) continue;
        if (image.field_sizes != 0) {
            std::uint8_t sizes[8];
            grown_field_sizes(data, image.field_sizes, sizes);
            want.insert(want.end(), data + at, data + image.field_sizes);
            want.insert(want.end(), sizes, sizes + 8);
            at = image.field_sizes + 8;
        }
        want.insert(want.end(), data + at, data + image.dqt);
        want.insert(want.end(), standard_dht_segment, standard_dht_segment + sizeof standard_dht_segment);
        at = image.dqt;
    }
    want.insert(want.end(), data + at, data + size);

    std::FILE* f = scratch_file();
    const int fd = fileno(f);
    check(ftruncate(fd, 0) == 0 && std::fseek(f, 0, SEEK_SET) == 0, "reset");
    check(std::fwrite(data, 1, size, f) == size, "load");
    rewrite_trace trace{};
    check(insert_dht_segment(f, data, count, lacking.data(), n, trace) == repair_result::dht_added, "insert");
    check(trace.reached == want.size(), "the writes reached the end");
    std::vector<std::uint8_t> after(want.size() + 1);
    const auto got = pread(fd, after.data(), after.size(), 0);
    check(got == static_cast<ssize_t>(want.size()), "grew by the segments");
    check(std::memcmp(after.data(), want.data(), want.size()) == 0, "segments in place, every other byte kept");
    check(library == want, "the library makes the tool's bytes");
    const tag again = find_first_tag(after.data(), static_cast<std::uint32_t>(got));
    check(!first_fits || (again.kind == tag_kind::dht && again.offset == lacking[0].dqt),
          "second scan finds the DHT");
    return 0;
}
