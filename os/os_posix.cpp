// Linux, macOS and other POSIX systems.

#include "os.h"

#include <csignal>
#include <new>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Below this a plain allocation wins: a mapping of its own costs more than
// the few page faults it would save.
constexpr std::uint32_t large_buffer = 4u << 20;

sigset_t mask_before_hold;

}  // namespace

void os_prepare_run() { std::signal(SIGXFSZ, SIG_IGN); }

std::FILE* os_open_for_update(char** argv, int index) { return std::fopen(argv[index], "r+b"); }

std::int64_t os_stream_size(std::FILE* stream) {
    return fseeko(stream, 0, SEEK_END) == 0 ? static_cast<std::int64_t>(ftello(stream)) : -1;
}

std::uint8_t* os_obtain_buffer(std::uint32_t size) {
    if (size >= large_buffer) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
#ifdef MADV_HUGEPAGE
            // Filling a fresh buffer is mostly page faults; huge pages make
            // them 512 times fewer. Each is then cleared just before the read
            // copies into it, while it is still in cache, which measured
            // faster than prefaulting the whole buffer first. A kernel
            // without them only runs slower.
            (void)madvise(p, size, MADV_HUGEPAGE);
#endif
            return static_cast<std::uint8_t*>(p);
        }
    }
    return new (std::nothrow) std::uint8_t[size];
}

void os_hold_signals() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &mask_before_hold);
}

void os_release_signals() { sigprocmask(SIG_SETMASK, &mask_before_hold, nullptr); }

bool os_truncate(std::FILE* stream, std::uint32_t size) { return ftruncate(fileno(stream), size) == 0; }
