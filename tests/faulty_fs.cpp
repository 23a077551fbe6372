// A filesystem that fails on demand, for the fault tests: it shows one
// file, frame.jpg, whose bytes live in a backing file, and breaks the way
// failing media and network mounts do.
//
//   faulty_fs BACKING MOUNTPOINT FAULT N
//
// FAULT is one of:
//   short      every read ends N bytes before the end, as if the file ended there
//   short-eio  the same, and a read past that point fails with EIO
//   grow       the first read finds the file N bytes longer than it was
//   touch      once a read has reached the end, the file's time of last write
//              moves on, as when another program writes to it
//   no-writes  every write returns 0: no error, no progress
// Runs in the foreground until it is unmounted.

#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string backing;
std::string fault;
long long amount = 0;
bool grown = false;

constexpr const char* name = "/frame.jpg";

int fail(int result) { return result < 0 ? -errno : result; }

int get_attributes(const char* path, struct stat* st, fuse_file_info*) {
    if (std::strcmp(path, "/") == 0) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, name) != 0) return -ENOENT;
    return fail(stat(backing.c_str(), st));
}

int list(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, name + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int open_file(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, name) != 0) return -ENOENT;
    const int fd = open(backing.c_str(), fi->flags & O_ACCMODE);
    if (fd < 0) return -errno;
    fi->fh = static_cast<std::uint64_t>(fd);
    fi->direct_io = 1;  // every read and write reaches this program, none the page cache
    return 0;
}

int read_file(const char*, char* out, size_t size, off_t offset, fuse_file_info* fi) {
    const int fd = static_cast<int>(fi->fh);
    struct stat st {};
    if (fstat(fd, &st) != 0) return -errno;
    if (fault == "grow" && !grown) {
        grown = true;
        const std::string more(static_cast<std::size_t>(amount), 'x');
        if (pwrite(fd, more.data(), more.size(), st.st_size) < 0) return -errno;
        st.st_size += amount;
    }
    off_t end = st.st_size;
    if (fault == "short" || fault == "short-eio") {
        end -= static_cast<off_t>(amount);
        if (fault == "short-eio" && offset >= end && offset < st.st_size) return -EIO;
    }
    if (offset >= end) return 0;
    if (static_cast<off_t>(size) > end - offset) size = static_cast<size_t>(end - offset);
    const ssize_t n = pread(fd, out, size, offset);
    if (n < 0) return -errno;
    if (fault == "touch" && offset + n >= st.st_size) {
        const timespec later[2] = {{0, UTIME_OMIT}, {st.st_mtim.tv_sec + 5, st.st_mtim.tv_nsec}};
        (void)futimens(fd, later);
    }
    return static_cast<int>(n);
}

int write_file(const char*, const char* data, size_t size, off_t offset, fuse_file_info* fi) {
    if (fault == "no-writes") return 0;
    return fail(static_cast<int>(pwrite(static_cast<int>(fi->fh), data, size, offset)));
}

int cut(const char* path, off_t size, fuse_file_info*) {
    if (std::strcmp(path, name) != 0) return -ENOENT;
    return fail(truncate(backing.c_str(), size));
}

int release(const char*, fuse_file_info* fi) { return fail(close(static_cast<int>(fi->fh))); }

void* start(fuse_conn_info*, fuse_config* config) {
    // Every size and time is asked afresh, as a network mount would.
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = 1;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    char* real = realpath(argv[1], nullptr);
    if (real == nullptr) return 2;
    backing = real;
    std::free(real);
    fault = argv[3];
    amount = std::atoll(argv[4]);
    fuse_operations ops{};
    ops.getattr = get_attributes;
    ops.readdir = list;
    ops.open = open_file;
    ops.read = read_file;
    ops.write = write_file;
    ops.truncate = cut;
    ops.release = release;
    ops.init = start;
    char program[] = "faulty_fs", foreground[] = "-f", single[] = "-s";
    char* fuse_argv[] = {program, foreground, single, argv[2], nullptr};
    return fuse_main(4, fuse_argv, &ops, nullptr);
}
