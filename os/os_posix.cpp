// Linux, macOS and other POSIX systems.

#include "os.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// Below this a plain allocation wins: a mapping of its own costs more than
// the few page faults it would save.
constexpr std::uint32_t large_buffer = 4u << 20;

sigset_t mask_before_hold;

// A small buffer is kept from one file to the next: musl's malloc hands a
// freed block of this size back to the system, and every frame would then
// fault a fresh one in. It is never larger than the largest small file so
// far and is given up before a large one is mapped, so a run still needs
// no more memory than its largest file.
std::uint8_t* kept = nullptr;
std::uint32_t kept_size = 0;

bool is_closed(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

}  // namespace

bool os_prepare_run() {
    const bool output_open = !is_closed(STDOUT_FILENO);
    // open() takes the lowest free descriptor, so each closed one in turn.
    // Without /dev/null (a bare chroot) the root directory holds the place:
    // writes to it fail, and a failed report is what the status then says.
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (is_closed(fd) && open("/dev/null", O_RDWR) < 0) (void)open("/", O_RDONLY);
    std::signal(SIGXFSZ, SIG_IGN);
    return output_open;
}

int os_paths(int argc, char**) { return argc; }

namespace {

std::FILE* open_file(const char* path, int access, const char* mode) {
    // A FIFO or a device would otherwise hold the open, and a terminal
    // could become the run's own; what is not a regular file is refused
    // unread right after.
    const int fd = open(path, access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) close(fd);
    return stream;
}

}  // namespace

std::FILE* os_open_for_update(char** argv, int index) { return open_file(argv[index], O_RDWR, "r+b"); }

std::FILE* os_open_for_reading(char** argv, int index) { return open_file(argv[index], O_RDONLY, "rb"); }

bool os_is_regular_file(std::FILE* stream) {
    struct stat st {};
    return fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode);
}

bool os_lock(std::FILE* stream, int seconds) {
    // Any program that can read the file can hold a lock on it, so the wait
    // has an end: polled, since flock has no timeout of its own.
    timespec pause{0, 10 * 1000 * 1000};
    for (long waited_ms = 0;; waited_ms += 10) {
        if (flock(fileno(stream), LOCK_EX | LOCK_NB) == 0) return true;
        // ENOLCK, EOPNOTSUPP and the like: no lock to be had, so none is held.
        if (errno != EWOULDBLOCK && errno != EINTR) return true;
        if (waited_ms >= 1000L * seconds) return false;
        (void)nanosleep(&pause, nullptr);
    }
}

bool os_state(std::FILE* stream, os_file_state& out) {
    struct stat st {};
    if (fstat(fileno(stream), &st) != 0) return false;
    out.size = static_cast<std::int64_t>(st.st_size);
    out.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

std::size_t os_write_at(std::FILE* stream, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fileno(stream), data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::FILE* os_duplicate(std::FILE* stream) {
    const int fd = dup(fileno(stream));
    if (fd < 0) return nullptr;
    std::FILE* copy = fdopen(fd, "r+b");
    if (copy == nullptr) {
        close(fd);
        return nullptr;
    }
    std::setvbuf(copy, nullptr, _IONBF, 0);
    return copy;
}

std::int64_t os_space_available(std::FILE* stream) {
    struct statvfs fs {};
    // tmpfs without a size limit and pseudo filesystems report no blocks.
    if (fstatvfs(fileno(stream), &fs) != 0 || fs.f_blocks == 0) return -1;
    const auto bytes = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    return bytes > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(bytes);
}

const char* os_path_text(char** argv, int index) { return argv[index]; }

const bool os_backslash_separates = false;

int os_error() { return errno; }

const char* os_error_text(int code) { return std::strerror(code); }

std::uint8_t* os_obtain_buffer(std::uint32_t size) {
    // The size alone tells os_release_buffer which kind it was given, so a
    // large buffer has no fallback to malloc: where a mapping fails, so
    // would malloc.
    if (size < large_buffer) {
        if (kept != nullptr && kept_size >= size) return kept;
        std::free(kept);
        kept = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
        kept_size = kept != nullptr ? size : 0;
        return kept;
    }
    std::free(kept);
    kept = nullptr;
    kept_size = 0;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    // Filling a fresh buffer is mostly page faults; huge pages make them 512
    // times fewer. Each is then cleared just before the read copies into
    // it, while it is still in cache, which measured faster than
    // prefaulting the whole buffer first. A kernel without them only runs
    // slower.
    (void)madvise(p, size, MADV_HUGEPAGE);
#endif
    return static_cast<std::uint8_t*>(p);
}

void os_release_buffer(std::uint8_t* buffer, std::uint32_t size) {
    if (size >= large_buffer) (void)munmap(buffer, size);
}

namespace {

// sigfillset leaves out the signals the C library keeps for itself (32 and
// 33 with glibc, 32 to 34 with musl), and on Linux glibc's sigprocmask drops
// its two from any mask; yet a kill with one of them would end the run
// halfway. So every bit is set, and on Linux the kernel is asked directly.
void set_mask(int how, const sigset_t* mask, sigset_t* before) {
#ifdef __linux__
    (void)syscall(SYS_rt_sigprocmask, how, mask, before, _NSIG / 8);
#else
    (void)sigprocmask(how, mask, before);
#endif
}

}  // namespace

void os_hold_signals() {
    sigset_t all;
    std::memset(&all, 0xFF, sizeof all);
    set_mask(SIG_BLOCK, &all, &mask_before_hold);
}

void os_release_signals() { set_mask(SIG_SETMASK, &mask_before_hold, nullptr); }

bool os_truncate(std::FILE* stream, std::uint32_t size) { return ftruncate(fileno(stream), size) == 0; }

std::ptrdiff_t os_read_some(std::FILE* stream, std::uint8_t* data, std::size_t size) {
    for (;;) {
        const ssize_t n = read(fileno(stream), data, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool os_write_all(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        const ssize_t n = write(fileno(stream), data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::FILE* os_create_new(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) close(fd);
    return stream;
}

bool os_rename(const char* from, const char* to, bool replace) {
    if (replace) return rename(from, to) == 0;
    // A link fails where a file exists, where rename would replace it.
    return link(from, to) == 0 && unlink(from) == 0;
}

void os_remove(const char* path) { (void)unlink(path); }

unsigned long os_process_id() { return static_cast<unsigned long>(getpid()); }
