// dhtcat [OPTION]... [FILE]...: copies a stream of JPEG images to standard
// output with every image that lacks tables repaired by dhtfix's rule: the
// raw concatenated frames that cameras and capture tools write, or the
// multipart/x-mixed-replace body that HTTP cameras serve. Anything else
// passes through byte for byte.
//
// A stream is never held whole. A raw image leaves as soon as its EOI has
// been read, so a live camera stays live through the filter; a part of a
// multipart body leaves once its Content-Length, or the next boundary, says
// it is whole. Memory is bounded by the largest image. As in a file, the
// first image decides: when it lacks tables, every image is judged.
//
// Status: 0 when everything was copied, 1 for a usage error or an input
// that cannot be opened, 2 for a read or write error; a reader that goes
// away ends the run as SIGPIPE does.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dht_repair.h"
#include "dhtfix.h"
#include "os.h"

namespace {

const char usage[] =
    "Usage: dhtcat [OPTION]... [FILE]...\n"
    "Copies each FILE, or standard input when there is none or FILE is -, to\n"
    "standard output, with every JPEG image that lacks Huffman tables given the\n"
    "standard ones. Raw concatenated images and multipart/x-mixed-replace bodies\n"
    "are repaired; anything else passes through unchanged.\n"
    "\n"
    "  --split PATTERN  write each image to a file of its own instead, named by a\n"
    "                   printf pattern with one integer conversion (frames/%06d.jpg)\n"
    "  --force          with --split, replace files that exist\n"
    "  --limit BYTES    pass images larger than this through unchanged (67108864)\n"
    "  -q               no closing summary on standard error\n"
    "  --help           show this help\n"
    "  --version        show the version\n"
    "  --               the arguments after it are files\n"
    "\n"
    "Exit status: 0 if everything was copied, 1 for a usage error or an input that\n"
    "cannot be opened, 2 for a read or write error.\n";

constexpr std::size_t longest_line = 1000;     // a boundary or header line
constexpr std::size_t longest_headers = 65536;  // a part's header block

enum class shape { first, raw, multipart, passthrough, skip_to_eoi };
enum class part { delimiter, headers, body };

struct counts {
    unsigned long long images = 0, repaired = 0, with_tables = 0, left_alone = 0, in = 0, out = 0;
};

struct filter {
    std::uint8_t* held = nullptr;  // what is read and not yet handled
    std::size_t size = 0, room = 0;
    std::size_t limit = std::size_t{64} << 20;
    const char* split = nullptr;
    bool force = false;
    unsigned long long index = 0;
    counts seen;
    bool failed = false;

    shape state = shape::first;
    // Multipart: the boundary line's token, where the part stands, and the
    // part's header block once read: its size, and its Content-Length.
    char boundary[longest_line];
    std::size_t boundary_size = 0;
    part at = part::delimiter;
    std::size_t header_size = 0;
    std::size_t length_at = 0, length_digits = 0;  // the value in the header block; 0 digits: none
    unsigned long long length = 0;

    std::uint8_t* scratch = nullptr;  // a part's repaired body
    std::size_t scratch_room = 0;
};

[[noreturn]] void reader_gone() {
    // The shell's convention for a pipe whose reader left: 128 + SIGPIPE.
    std::exit(141);
}

void write_out(filter& f, const std::uint8_t* data, std::size_t size) {
    if (size == 0 || f.failed) return;
    if (!os_write_all(stdout, data, size)) {
        if (errno == EPIPE) reader_gone();
        std::fprintf(stderr, "dhtcat: cannot write: %s\n", os_error_text(os_error()));
        f.failed = true;
    }
    f.seen.out += size;
}

// Bytes that are no image: to standard output, or with --split nowhere.
void pass(filter& f, const std::uint8_t* data, std::size_t size) {
    if (f.split == nullptr) write_out(f, data, size);
}

void consume(filter& f, std::size_t n) {
    std::memmove(f.held, f.held + n, f.size - n);
    f.size -= n;
}

void count(filter& f, const jpeg_image& judged) {
    ++f.seen.images;
    if (judged.kind == image_kind::has_dht) ++f.seen.with_tables;
    else if (judged.kind == image_kind::fits) ++f.seen.repaired;
    else if (judged.kind == image_kind::unfit || judged.kind == image_kind::ends_early) ++f.seen.left_alone;
}

// Writes one image, repaired when fits, to standard output, or to a file of
// its own that appears under its name only once it is whole.
void put_image(filter& f, const std::uint8_t* image, std::size_t size, const jpeg_image& judged, bool fits) {
    std::FILE* out = stdout;
    char name[4096], temporary[4200];
    if (f.split != nullptr) {
        (void)std::snprintf(name, sizeof name, f.split, f.index++);
        (void)std::snprintf(temporary, sizeof temporary, "%s.%lu.part", name, os_process_id());
        out = os_create_new(temporary);
        if (out == nullptr) {
            std::fprintf(stderr, "dhtcat: %s: %s\n", temporary, os_error_text(os_error()));
            f.failed = true;
            return;
        }
    }
    bool ok = true;
    const auto put = [&](const std::uint8_t* data, std::size_t n) {
        if (out == stdout) write_out(f, data, n);
        else ok = ok && os_write_all(out, data, n);
    };
    std::size_t at = 0;
    if (fits) at = put_repaired_image(image, 0, lacking_image{judged.kind, judged.tag, judged.field_sizes}, put);
    put(image + at, size - at);
    if (out == stdout) return;
    ok = std::fclose(out) == 0 && ok;
    if (!ok || !os_rename(temporary, name, f.force)) {
        std::fprintf(stderr, "dhtcat: %s: %s\n", name,
                     ok && !f.force ? "exists; --force replaces it" : os_error_text(os_error()));
        os_remove(temporary);
        f.failed = true;
    }
}

// Raw images: handles what is held as far as it can; at the end of the
// input, all of it.
void drain_raw(filter& f, bool at_end) {
    while (f.size != 0 && f.state == shape::raw) {
        // What pads images apart passes through on its way to the next SOI;
        // anything else is trailing data.
        const std::size_t soi = next_soi(f.held, f.size, 0);
        if (soi == trailing_data) {
            f.state = shape::passthrough;
            return;
        }
        if (soi == f.size) {
            // All padding so far, but a last FF may begin the SOI.
            const std::size_t padding = f.size - (!at_end && f.held[f.size - 1] == marker_prefix);
            pass(f, f.held, padding);
            consume(f, padding);
            return;
        }
        pass(f, f.held, soi);
        consume(f, soi);
        const jpeg_image judged = judge_image(f.held, f.size, 0);
        if (judged.kind == image_kind::damaged) {
            f.state = shape::passthrough;
            return;
        }
        // Whole once its EOI is read; with AVI1 field sizes, once it is known
        // where the next field begins, which the sizes must match.
        std::size_t span = 0;
        if (judged.end != 0 && !judged.field_header) span = judged.end;
        else if (judged.next != 0) span = judged.next;
        else if (at_end) span = f.size;
        if (span == 0) {
            if (f.size <= f.limit) return;  // more is to come
            std::fprintf(stderr, "dhtcat: an image of more than %zu bytes passes through unchanged\n", f.limit);
            ++f.seen.images;
            ++f.seen.left_alone;
            pass(f, f.held, f.size);
            f.size = 0;
            f.state = shape::skip_to_eoi;
            return;
        }
        count(f, judged);
        put_image(f, f.held, span, judged, judged.kind == image_kind::fits);
        consume(f, span);
    }
}

// The line at the start of what is held, with its line feed; 0 if it has
// not all come, or is longer than any line may be (then too_long).
std::size_t line_at(const filter& f, std::size_t from, bool& too_long) {
    const std::size_t window = f.size - from < longest_line ? f.size - from : longest_line;
    const void* lf = std::memchr(f.held + from, '\n', window);
    too_long = lf == nullptr && window == longest_line;
    return lf == nullptr ? 0 : static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - (f.held + from)) + 1;
}

bool starts_with(const std::uint8_t* data, std::size_t size, const char* text, std::size_t n) {
    return size >= n && std::memcmp(data, text, n) == 0;
}

// Room for size bytes in the scratch buffer; false if there is no memory.
bool reserve(filter& f, std::size_t size) {
    if (f.scratch_room >= size) return true;
    void* grown = std::realloc(f.scratch, size);
    if (grown == nullptr) return false;
    f.scratch = static_cast<std::uint8_t*>(grown);
    f.scratch_room = size;
    return true;
}

// One part's body is whole: its headers go out with the Content-Length
// that the repaired body has, then the body.
void put_part(filter& f, std::size_t body_size) {
    const std::uint8_t* const body = f.held + f.header_size;
    std::size_t written = 0;
    int status = reserve(f, body_size + 2 * dhtfix_standard_segment_size())
                     ? dhtfix_repair(body, body_size, f.scratch, f.scratch_room, &written)
                     : DHTFIX_UNCHANGED;
    if (status == DHTFIX_BUFFER_TOO_SMALL && reserve(f, written))
        status = dhtfix_repair(body, body_size, f.scratch, f.scratch_room, &written);
    const bool fixed = status == DHTFIX_OK;
    const std::uint8_t* const repaired = fixed ? f.scratch : body;
    const std::size_t size = fixed ? written : body_size;

    // Counted on the repaired body, where the walk is cheap: an image that
    // has tables now had them before or was repaired. With --split, each
    // image then goes to its file, whole: the part is cut into them.
    const unsigned long long repaired_here = (size - body_size) / dhtfix_standard_segment_size();
    unsigned long long with_tables = 0;
    for (std::size_t start = 0; start + 1 < size && repaired[start] == marker_prefix && repaired[start + 1] == soi_code;) {
        const jpeg_image judged = judge_image(repaired + start, size - start, 0);
        if (judged.kind == image_kind::damaged) break;
        ++f.seen.images;
        if (judged.kind == image_kind::has_dht) ++with_tables;
        else if (judged.kind != image_kind::no_tables && judged.kind != image_kind::arithmetic) ++f.seen.left_alone;
        if (f.split != nullptr) {
            const std::size_t end = judged.end != 0 ? judged.end : judged.next != 0 ? judged.next : size - start;
            put_image(f, repaired + start, end, judged, false);
        }
        if (judged.next == 0) break;
        start += judged.next;
    }
    f.seen.repaired += repaired_here;
    f.seen.with_tables += with_tables - repaired_here;
    if (f.split != nullptr) return;
    if (f.length_digits != 0) {
        char digits[32];
        const int n = std::snprintf(digits, sizeof digits, "%zu", size);
        write_out(f, f.held, f.length_at);
        write_out(f, reinterpret_cast<const std::uint8_t*>(digits), static_cast<std::size_t>(n));
        write_out(f, f.held + f.length_at + f.length_digits, f.header_size - f.length_at - f.length_digits);
    } else {
        write_out(f, f.held, f.header_size);
    }
    write_out(f, repaired, size);
}

// A multipart body: the parts one after another, each judged as a file.
void drain_multipart(filter& f, bool at_end) {
    while (f.state == shape::multipart) {
        bool too_long = false;
        if (f.at == part::delimiter) {
            const std::size_t line = line_at(f, 0, too_long);
            if (line == 0) {
                if (too_long || (at_end && f.size != 0)) f.state = shape::passthrough;
                return;
            }
            const bool blank = line <= 2 && (f.held[0] == '\n' || f.held[0] == '\r');
            const bool delimiter = line >= 2 + f.boundary_size && starts_with(f.held, f.size, "--", 2)
                                   && std::memcmp(f.held + 2, f.boundary, f.boundary_size) == 0;
            if (!blank && !delimiter) {
                f.state = shape::passthrough;  // out of step: the rest as it came
                return;
            }
            const bool last = delimiter && starts_with(f.held + 2 + f.boundary_size, line - 2 - f.boundary_size, "--", 2);
            pass(f, f.held, line);
            consume(f, line);
            if (last) {
                f.state = shape::passthrough;  // the epilogue
            } else if (delimiter) {
                f.at = part::headers;
                f.header_size = 0;
                f.length_digits = 0;
            }
            continue;
        }
        if (f.at == part::headers) {
            const std::size_t line = line_at(f, f.header_size, too_long);
            if (line == 0) {
                if (too_long || (at_end && f.size != 0)) f.state = shape::passthrough;
                return;
            }
            const std::uint8_t* text = f.held + f.header_size;
            if (line <= 2 && (text[0] == '\n' || text[0] == '\r')) {
                f.header_size += line;
                f.at = part::body;
                continue;
            }
            static const char name[] = "content-length:";
            bool is_length = line > sizeof name - 1;
            for (std::size_t i = 0; is_length && i < sizeof name - 1; ++i)
                is_length = (text[i] | 0x20) == name[i];
            if (is_length) {
                std::size_t i = sizeof name - 1;
                while (i < line && (text[i] == ' ' || text[i] == '\t')) ++i;
                std::size_t digits = 0;
                unsigned long long value = 0;
                while (i + digits < line && text[i + digits] >= '0' && text[i + digits] <= '9' && digits < 19)
                    value = 10 * value + static_cast<unsigned>(text[i + digits++] - '0');
                if (digits != 0) {
                    f.length_at = f.header_size + i;
                    f.length_digits = digits;
                    f.length = value;
                }
            }
            f.header_size += line;
            if (f.header_size > longest_headers) f.state = shape::passthrough;
            continue;
        }
        // The body: its Content-Length, or up to the line feed before the
        // next boundary; a carriage return before that belongs to it too.
        std::size_t body = 0;
        bool whole = false;
        if (f.length_digits != 0) {
            if (f.length > f.limit) {
                f.state = shape::passthrough;
                std::fprintf(stderr, "dhtcat: a part of more than %zu bytes passes the rest through unchanged\n", f.limit);
                return;
            }
            whole = f.size - f.header_size >= f.length;
            body = static_cast<std::size_t>(f.length);
        } else {
            for (std::size_t i = f.header_size; !whole && i + 3 + f.boundary_size <= f.size; ++i) {
                const void* lf = std::memchr(f.held + i, '\n', f.size - i);
                if (lf == nullptr) break;
                i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - f.held);
                if (i + 3 + f.boundary_size <= f.size && f.held[i + 1] == '-' && f.held[i + 2] == '-'
                    && std::memcmp(f.held + i + 3, f.boundary, f.boundary_size) == 0) {
                    whole = true;
                    body = i - f.header_size - (i > f.header_size && f.held[i - 1] == '\r');
                }
            }
            if (!whole && f.size - f.header_size > f.limit) {
                f.state = shape::passthrough;
                std::fprintf(stderr, "dhtcat: a part of more than %zu bytes passes the rest through unchanged\n", f.limit);
                return;
            }
        }
        if (!whole) {
            if (at_end) f.state = shape::passthrough;  // cut off: as it came
            return;
        }
        put_part(f, body);
        consume(f, f.header_size + body);
        f.at = part::delimiter;
    }
}

// Finds the input's shape from its first bytes; false if more must come.
bool find_shape(filter& f, bool at_end) {
    if (f.size >= 2 && f.held[0] == '-' && f.held[1] == '-') {
        bool too_long = false;
        const std::size_t line = line_at(f, 0, too_long);
        if (line == 0 && !too_long && !at_end) return false;
        std::size_t token = line > 2 ? line - 3 : 0;
        if (token != 0 && f.held[2 + token - 1] == '\r') --token;
        if (line != 0 && token != 0 && token < longest_line) {
            std::memcpy(f.boundary, f.held + 2, token);
            f.boundary_size = token;
            f.at = part::delimiter;
            f.state = shape::multipart;
            return true;
        }
        f.state = shape::passthrough;
        return true;
    }
    if (f.size < 2 && !at_end) return false;
    if (f.size < 2 || f.held[0] != marker_prefix || f.held[1] != soi_code) {
        f.state = shape::passthrough;
        return true;
    }
    // As in a file: the first image decides, once it is whole.
    const jpeg_image judged = judge_image(f.held, f.size, 0);
    if (judged.kind != image_kind::damaged && judged.end == 0 && judged.next == 0 && !at_end && f.size <= f.limit)
        return false;
    f.state = decide(f.held, f.size).kind == verdict::lacks_tables ? shape::raw : shape::passthrough;
    return true;
}

void drain(filter& f, bool at_end) {
    for (;;) {
        const shape before = f.state;
        if (f.state == shape::first && !find_shape(f, at_end)) return;
        if (f.state == shape::raw) drain_raw(f, at_end);
        if (f.state == shape::multipart) drain_multipart(f, at_end);
        if (f.state == shape::skip_to_eoi) {
            // The rest of an image too large to hold, up to its EOI.
            std::size_t n = 0;
            while (n + 1 < f.size && !(f.held[n] == marker_prefix && f.held[n + 1] == eoi_code)) ++n;
            const bool found = n + 1 < f.size;
            n = found ? n + 2 : (f.size != 0 && f.held[f.size - 1] == marker_prefix ? f.size - 1 : f.size);
            pass(f, f.held, n);
            consume(f, n);
            if (found) f.state = shape::raw;
        }
        if (f.state == shape::passthrough) {
            pass(f, f.held, f.size);
            f.size = 0;
            return;
        }
        if (f.state == before) return;
    }
}

// Reads one input through the filter; false if it could not be read.
bool copy(filter& f, std::FILE* in) {
    f.state = shape::first;  // each input is a stream of its own
    for (;;) {
        if (f.room - f.size < 65536) {
            const std::size_t room = f.room == 0 ? std::size_t{1} << 20 : 2 * f.room;
            void* grown = std::realloc(f.held, room);
            if (grown == nullptr) {
                f.state = shape::passthrough;
                drain(f, true);
                return false;
            }
            f.held = static_cast<std::uint8_t*>(grown);
            f.room = room;
        }
        const std::ptrdiff_t n = os_read_some(in, f.held + f.size, f.room - f.size);
        if (n < 0) {
            drain(f, true);
            return false;
        }
        if (n == 0) break;
        // A raw image can only have become whole where an EOI may have come.
        const std::size_t from = f.size == 0 ? 0 : f.size - 1;
        const bool maybe_end = std::memchr(f.held + from, eoi_code, f.size + static_cast<std::size_t>(n) - from) != nullptr;
        f.size += static_cast<std::size_t>(n);
        f.seen.in += static_cast<unsigned long long>(n);
        if (maybe_end || f.state != shape::raw) drain(f, false);
    }
    drain(f, true);
    return true;
}

// The --split pattern, made to take the image's index as an unsigned long
// long: one conversion %d, %i or %u with flags and a width, and %% for a
// percent sign; false for anything else.
bool make_pattern(const char* given, char* out, std::size_t room) {
    int conversions = 0;
    std::size_t n = 0;
    for (const char* p = given; *p != '\0'; ++p) {
        if (n + 4 >= room) return false;
        out[n++] = *p;
        if (*p != '%') continue;
        if (p[1] == '%') {
            out[n++] = *++p;
            continue;
        }
        while (std::strchr("0-+ #", p[1]) != nullptr && p[1] != '\0' && n + 4 < room) out[n++] = *++p;
        while (p[1] >= '0' && p[1] <= '9' && n + 4 < room) out[n++] = *++p;
        if (p[1] != 'd' && p[1] != 'i' && p[1] != 'u') return false;
        ++p;
        out[n++] = 'l';
        out[n++] = 'l';
        out[n++] = 'u';
        ++conversions;
    }
    out[n] = '\0';
    return conversions == 1;
}

}  // namespace

int main(int argc, char** argv) {
    (void)os_prepare_run();
    const int paths = os_paths(argc, argv);
    filter f;
    bool quiet = false, options = true;
    static char pattern[4096];
    int* inputs = static_cast<int*>(std::malloc(sizeof(int) * static_cast<std::size_t>(paths)));
    if (inputs == nullptr) return 2;
    // Given back on every way out.
    const struct freed {
        void* p;
        ~freed() { std::free(p); }
    } free_inputs{inputs};
    int n = 0;
    for (int i = 1; i < paths; ++i) {
        const char* arg = os_path_text(argv, i);
        if (!(options && arg[0] == '-' && arg[1] != '\0')) {
            inputs[n++] = i;
            continue;
        }
        const bool has_value = i + 1 < paths;
        if (std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (std::strcmp(arg, "-q") == 0) {
            quiet = true;
        } else if (std::strcmp(arg, "--force") == 0) {
            f.force = true;
        } else if (std::strcmp(arg, "--split") == 0 && has_value) {
            const char* given = os_path_text(argv, ++i);
            if (!make_pattern(given, pattern, sizeof pattern)) {
                std::fprintf(stderr, "dhtcat: --split needs a pattern with one integer conversion, such as frames/%%06d.jpg\n");
                return 1;
            }
            f.split = pattern;
        } else if (std::strcmp(arg, "--limit") == 0 && has_value) {
            char* end = nullptr;
            const char* given = os_path_text(argv, ++i);
            const unsigned long long limit = std::strtoull(given, &end, 10);
            if (*given < '0' || *given > '9' || *end != '\0' || limit == 0 || limit > SIZE_MAX / 2) {
                std::fprintf(stderr, "dhtcat: --limit needs a number of bytes\n");
                return 1;
            }
            f.limit = static_cast<std::size_t>(limit);
        } else if (std::strcmp(arg, "--help") == 0) {
            return std::fputs(usage, stdout) < 0 || std::fflush(stdout) != 0 ? 2 : 0;
        } else if (std::strcmp(arg, "--version") == 0) {
            return std::printf("dhtcat (dhtfix) %s\n", dhtfix_version()) < 0 || std::fflush(stdout) != 0 ? 2 : 0;
        } else {
            std::fprintf(stderr, "dhtcat: unknown option %s\n%s", arg, usage);
            return 1;
        }
    }
    int status = 0;
    for (int k = 0; k <= n; ++k) {
        if (k == n && n != 0) break;
        const bool standard = n == 0 || std::strcmp(os_path_text(argv, inputs[k]), "-") == 0;
        std::FILE* in = standard ? stdin : os_open_for_reading(argv, inputs[k]);
        if (in == nullptr) {
            std::fprintf(stderr, "dhtcat: %s: %s\n", os_path_text(argv, inputs[k]), os_error_text(os_error()));
            if (status == 0) status = 1;
            continue;
        }
        if (!copy(f, in)) {
            std::fprintf(stderr, "dhtcat: %s: cannot read: %s\n", standard ? "-" : os_path_text(argv, inputs[k]),
                         os_error_text(os_error()));
            status = 2;
        }
        if (!standard) (void)std::fclose(in);
    }
    if (f.failed) status = 2;
    if (!quiet)
        std::fprintf(stderr,
                     "dhtcat: %llu images, %llu repaired, %llu with tables, %llu left alone; %llu bytes in, %llu out\n",
                     f.seen.images, f.seen.repaired, f.seen.with_tables, f.seen.left_alone, f.seen.in, f.seen.out);
    std::free(f.held);
    std::free(f.scratch);
    return status;
}
