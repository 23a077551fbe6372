#include "buffer.h"

#include <new>

#include <sys/mman.h>

namespace {

// Below this a plain allocation wins: a mapping of its own costs more than
// the few page faults it would save.
constexpr std::uint32_t large_buffer = 4u << 20;

}  // namespace

std::uint8_t* obtain_buffer(std::uint32_t size) {
    if (size >= large_buffer) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            // Filling a fresh buffer is mostly page faults; huge pages make
            // them 512 times fewer. Each is then cleared just before the read
            // copies into it, while it is still in cache, which measured
            // faster than prefaulting the whole buffer first. A kernel
            // without them only runs slower.
            (void)madvise(p, size, MADV_HUGEPAGE);
            return static_cast<std::uint8_t*>(p);
        }
    }
    return new (std::nothrow) std::uint8_t[size];
}
