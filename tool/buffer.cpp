#include "buffer.h"

#include <cerrno>
#include <new>

#include <sys/mman.h>

namespace {

// Below this a plain allocation wins: mapping and prefaulting cost more
// than the few page faults they would save.
constexpr std::uint32_t large_buffer = 4u << 20;

}  // namespace

std::uint8_t* obtain_buffer(std::uint32_t size) {
    if (size >= large_buffer) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            // Filling a fresh buffer is mostly page faults. Huge pages make
            // them 512 times fewer and prefaulting takes the rest in one
            // call; a kernel without either only runs slower.
            (void)madvise(p, size, MADV_HUGEPAGE);
            if (madvise(p, size, MADV_POPULATE_WRITE) == 0 || errno != ENOMEM)
                return static_cast<std::uint8_t*>(p);
            // The memory is not there; better to say so now than to be
            // killed half way through the read.
            (void)munmap(p, size);
            return nullptr;
        }
    }
    return new (std::nothrow) std::uint8_t[size];
}
