// Fuzzes the segment walk and the in-place insertion. Besides not crashing,
// the walk must agree with a plain one written out separately,
// and the rewritten file must be the prefix, the standard segment and the
// rest, with the inserted DHT tag now the first tag.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "dht_repair.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > size_cap) return 0;
    const auto count = static_cast<std::uint32_t>(size);
    const tag found = find_first_tag(data, count);
    const tag expected = reference_scan(data, count);
    check(found.kind == expected.kind && found.offset == expected.offset, "scan agrees");
    if (found.kind != tag_kind::dqt) return 0;

    std::FILE* f = scratch_file();
    const int fd = fileno(f);
    check(ftruncate(fd, 0) == 0 && std::fseek(f, 0, SEEK_SET) == 0, "reset");
    check(std::fwrite(data, 1, size, f) == size, "load");
    check(insert_dht_segment(f, data, count, found.offset) == repair_result::dht_added, "insert");

    std::vector<std::uint8_t> after(size + sizeof standard_dht_segment + 1);
    const auto got = pread(fd, after.data(), after.size(), 0);
    check(got == static_cast<ssize_t>(size + sizeof standard_dht_segment), "grew by the segment");
    const std::size_t t = found.offset;
    check(std::memcmp(after.data(), data, t) == 0, "prefix untouched");
    check(std::memcmp(after.data() + t, standard_dht_segment, sizeof standard_dht_segment) == 0,
          "segment in place");
    check(std::memcmp(after.data() + t + sizeof standard_dht_segment, data + t, size - t) == 0,
          "rest shifted");
    const tag again = find_first_tag(after.data(), static_cast<std::uint32_t>(got));
    check(again.kind == tag_kind::dht && again.offset == found.offset, "second scan finds the DHT");
    return 0;
}
