// dhtcat [OPTION]... [FILE]...: copies a stream of JPEG images to standard
// output with every image that lacks tables repaired by dhtfix's rule.
//
// WORK IN PROGRESS: raw concatenated images, --split, -q and the limit;
// multipart bodies pass through unchanged for now, and nothing here is
// tested yet.
//
// A stream is never held whole: each image leaves as soon as its EOI has
// been read, so a live camera stays live through the filter, and memory is
// bounded by the largest image. As in a file, the first image decides: when
// it lacks tables, every image is judged; otherwise, and for anything that
// is no JPEG, the bytes pass through as they came.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "dht_repair.h"
#include "dhtfix.h"

namespace {

const char usage[] =
    "Usage: dhtcat [OPTION]... [FILE]...\n"
    "Copies each FILE, or standard input, to standard output, with every JPEG\n"
    "image that lacks Huffman tables given the standard ones.\n"
    "\n"
    "  --split PATTERN  write each image to a file of its own, named by a printf\n"
    "                   pattern with one integer conversion, such as frames/%06d.jpg\n"
    "  --force          with --split, replace files that exist\n"
    "  --limit BYTES    pass images larger than this through unchanged (64 MiB)\n"
    "  -q               no closing summary on standard error\n"
    "  --help, --version, --\n";

enum class mode { first, images, passthrough };

struct counts {
    unsigned long long images = 0, repaired = 0, with_tables = 0, left_alone = 0, in = 0, out = 0;
};

struct filter {
    std::uint8_t* held = nullptr;  // from the current image's start on
    std::size_t size = 0, room = 0;
    std::size_t limit = std::size_t{64} << 20;
    mode state = mode::first;
    const char* split = nullptr;
    bool force = false;
    unsigned long long index = 0;
    counts seen;
    bool failed = false;  // a write failed: the run ends with 2
};

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Passes bytes on unchanged: to standard output, or with --split nowhere.
void pass(filter& f, const std::uint8_t* data, std::size_t size) {
    if (f.split != nullptr || size == 0) return;
    if (!write_all(STDOUT_FILENO, data, size)) f.failed = true;
    f.seen.out += size;
}

// Writes one image, repaired if it fits, to standard output or to a file of
// its own that appears only once it is whole.
void put_image(filter& f, const std::uint8_t* image, std::size_t size, const jpeg_image& judged, bool repair) {
    ++f.seen.images;
    if (judged.kind == image_kind::has_dht) ++f.seen.with_tables;
    const bool fits = repair && judged.kind == image_kind::fits;
    if (fits) ++f.seen.repaired;
    else if (judged.kind == image_kind::unfit || judged.kind == image_kind::ends_early) ++f.seen.left_alone;

    int fd = STDOUT_FILENO;
    char name[4096], temporary[4200];
    if (f.split != nullptr) {
        (void)std::snprintf(name, sizeof name, f.split, f.index++);
        (void)std::snprintf(temporary, sizeof temporary, "%s.%ld.part", name, static_cast<long>(getpid()));
        fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::fprintf(stderr, "dhtcat: %s: %s\n", temporary, std::strerror(errno));
            f.failed = true;
            return;
        }
    }
    bool ok = true;
    std::size_t written = 0;
    const auto put = [&](const std::uint8_t* data, std::size_t n) {
        ok = ok && write_all(fd, data, n);
        written += n;
    };
    std::size_t at = 0;
    if (fits) at = put_repaired_image(image, 0, lacking_image{judged.kind, judged.tag, judged.field_sizes}, put);
    put(image + at, size - at);
    f.seen.out += written;
    if (f.split == nullptr) {
        if (!ok) f.failed = true;
        return;
    }
    ok = close(fd) == 0 && ok;
    // Without --force an existing file stays: link fails where rename would replace.
    if (ok) ok = f.force ? rename(temporary, name) == 0 : link(temporary, name) == 0 && unlink(temporary) == 0;
    if (!ok) {
        std::fprintf(stderr, "dhtcat: %s: %s\n", name, std::strerror(errno));
        (void)unlink(temporary);
        f.failed = true;
    }
}

// Drops the first n held bytes.
void consume(filter& f, std::size_t n) {
    std::memmove(f.held, f.held + n, f.size - n);
    f.size -= n;
}

// Handles what is held as far as it can be; at the end of the input, all
// of it.
void drain(filter& f, bool at_end) {
    for (;;) {
        if (f.size == 0) return;
        if (f.state == mode::passthrough) {
            pass(f, f.held, f.size);
            f.size = 0;
            return;
        }
        if (f.state == mode::images && f.held[0] != marker_prefix) {
            // Zero bytes may pad images apart; anything else is trailing data.
            if (f.held[0] != 0x00) {
                f.state = mode::passthrough;
                continue;
            }
            pass(f, f.held, 1);
            consume(f, 1);
            continue;
        }
        if (f.size < 2 && !at_end) return;
        if (f.size < 2 || f.held[1] != soi_code) {
            if (f.state == mode::first || f.held[1] != marker_prefix) {
                f.state = mode::passthrough;  // no JPEG, or trailing data
                continue;
            }
            pass(f, f.held, 1);  // a fill byte before the next SOI
            consume(f, 1);
            continue;
        }
        const jpeg_image judged = judge_image(f.held, f.size, 0);
        if (judged.kind == image_kind::damaged) {
            f.state = mode::passthrough;
            continue;
        }
        std::size_t span = 0;  // the image's bytes, once it is whole
        if (judged.end != 0 && !judged.field_header) span = judged.end;
        else if (judged.next != 0) span = judged.next;
        else if (at_end) span = f.size;
        if (span == 0) {
            if (f.size > f.limit) {
                std::fprintf(stderr, "dhtcat: an image larger than %zu bytes; it and the rest pass through unchanged\n",
                             f.limit);
                f.state = mode::passthrough;
                continue;
            }
            return;  // more is to come
        }
        if (f.state == mode::first) {
            const decision first = decide(f.held, f.size);
            f.state = first.kind == verdict::lacks_tables ? mode::images : mode::passthrough;
            if (f.state == mode::passthrough) continue;
        }
        put_image(f, f.held, span, judged, true);
        consume(f, span);
    }
}

// Reads one input through the filter; false if it could not be read.
bool copy(filter& f, int fd) {
    for (;;) {
        if (f.room - f.size < 65536) {
            const std::size_t room = f.room == 0 ? std::size_t{1} << 20 : 2 * f.room;
            void* grown = std::realloc(f.held, room);
            if (grown == nullptr) {
                drain(f, true);
                return false;
            }
            f.held = static_cast<std::uint8_t*>(grown);
            f.room = room;
        }
        const ssize_t n = read(fd, f.held + f.size, f.room - f.size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        // An image can only have become whole if an EOI may have arrived.
        const std::uint8_t* from = f.held + (f.size == 0 ? 0 : f.size - 1);
        const bool maybe_end = std::memchr(from, eoi_code, static_cast<std::size_t>(n) + (f.size == 0 ? 0 : 1)) != nullptr;
        f.size += static_cast<std::size_t>(n);
        f.seen.in += static_cast<unsigned long long>(n);
        if (maybe_end || f.state == mode::passthrough) drain(f, false);
    }
    drain(f, true);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    filter f;
    bool quiet = false, options = true;
    int inputs = 0;
    const char* files[4096];
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options && arg[0] == '-' && arg[1] != '\0') {
            if (std::strcmp(arg, "--") == 0) options = false;
            else if (std::strcmp(arg, "-q") == 0) quiet = true;
            else if (std::strcmp(arg, "--force") == 0) f.force = true;
            else if (std::strcmp(arg, "--split") == 0 && i + 1 < argc) f.split = argv[++i];
            else if (std::strcmp(arg, "--limit") == 0 && i + 1 < argc) f.limit = std::strtoull(argv[++i], nullptr, 10);
            else if (std::strcmp(arg, "--help") == 0) return std::fputs(usage, stdout) < 0 ? 2 : 0;
            else if (std::strcmp(arg, "--version") == 0) return std::printf("dhtcat (dhtfix) %s\n", dhtfix_version()) < 0;
            else {
                std::fprintf(stderr, "dhtcat: unknown option %s\n%s", arg, usage);
                return 1;
            }
            continue;
        }
        if (inputs < 4096) files[inputs++] = arg;
    }
    if (inputs == 0) files[inputs++] = "-";
    int status = 0;
    for (int k = 0; k < inputs; ++k) {
        const bool standard = std::strcmp(files[k], "-") == 0;
        const int fd = standard ? STDIN_FILENO : open(files[k], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "dhtcat: %s: %s\n", files[k], std::strerror(errno));
            status = status == 0 ? 1 : status;
            continue;
        }
        // Each input is a stream of its own, decided by its first image.
        f.state = mode::first;
        if (!copy(f, fd)) status = 2;
        if (!standard) (void)close(fd);
    }
    if (f.failed) status = 2;
    if (!quiet)
        std::fprintf(stderr, "dhtcat: %llu images, %llu repaired, %llu with tables, %llu left alone; %llu bytes in, %llu out\n",
                     f.seen.images, f.seen.repaired, f.seen.with_tables, f.seen.left_alone, f.seen.in, f.seen.out);
    std::free(f.held);
    return status;
}
