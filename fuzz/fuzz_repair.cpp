// Fuzzes the tag scan and the in-place insertion. Besides not crashing, the
// scan must agree with a plain pair-by-pair search, and the rewritten file
// must be the prefix, the standard segment and the rest, with the inserted
// DHT tag now the first tag.

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

tag reference_scan(const std::uint8_t* data, std::uint32_t count) {
    for (std::uint32_t i = 1; i < count; ++i) {
        if (data[i - 1] != marker_prefix) continue;
        if (data[i] == dht_code) return {tag_kind::dht, i - 1};
        if (data[i] == dqt_code) return {tag_kind::dqt, i - 1};
    }
    return {tag_kind::none, 0};
}

// An in-memory file, unbuffered like the tool's, reused across inputs.
std::FILE* scratch_file() {
    static std::FILE* f = [] {
        std::FILE* s = fdopen(memfd_create("fuzz_repair", 0), "w+b");
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
    check(insert_dht_segment(f, data, count, found.offset), "insert");

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
