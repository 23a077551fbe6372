// dhtfix FILE...: gives JPEG files that lack Huffman tables the standard ones.
//
// Exit status, for one path: 0 done (whatever was found), 1 no path or the
// file cannot be opened for reading and writing, 3 not a regular file, no
// buffer for it, or it is or would grow too large, 4 shorter than 52
// bytes, unreadable or not read whole, 5 the rewrite failed or was not
// started and the file is as it was, 6 the file is settled but the lines
// could not be written to standard output, 7 the rewrite failed and the
// file could not be put back: it is damaged. For several paths, the highest failure (1, 3, 4, 5, 7) among
// them, else 6 if lines were lost, else 0.
//
// The lines of a run tell what was found and tried; the status tells
// whether it held. Only a JPEG is ever written: the decision is read from
// its segments, SOI to the first scan, so a photo that has its tables keeps
// every byte where its own offsets (second pictures, maker-note previews)
// expect it, and a file that is not a JPEG is left alone. When the first
// image lacks tables, every image of the file is judged (a raw stream, an
// interlaced frame's two fields), with a line each, and the standard tables
// go only where they decode the image's first scan: tables that do not fit
// would make a refused frame into a wrong picture. An image that ends
// before its EOI, a file still being written, is left alone until whole;
// AVI1 field sizes grow with their field. Each file is locked while it is
// handled, so a second run on it waits and then finds
// the tables the first one added; the wait has an end, since any reader
// can hold a lock. The file is what was read, or it is not touched: a read
// of any other length than the measured one, and a change between the
// read and the rewrite, leave it as it is, and an undo is judged by the
// bytes it put back. Only regular files are read. Writing back to disk is
// left to the system, as with other file tools: there is no fsync.
//
// Each path is handled as a run with that one path would handle it, and
// closed with its buffer released before the next is opened. With several,
// each line names its file, the way grep does, and a failure gets a line on
// standard error with the true reason, the system's where it has one; with
// one, failures print nothing, as always. A name is written with the bytes
// that could end a line or forge one escaped.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "load.h"
#include "os.h"
#include "rewrite.h"

namespace {

// How long a run waits for a lock that another program holds.
constexpr int default_lock_wait = 60;

int lock_wait_seconds() {
    const char* text = std::getenv("DHTFIX_LOCK_WAIT");
    if (text == nullptr || *text == '\0') return default_lock_wait;
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    return *end == '\0' && seconds >= 0 && seconds <= 86400 ? static_cast<int>(seconds) : default_lock_wait;
}

constexpr outcome lines_lost{6, {}};

// The system's reason for a failed write or close; a write can also stop
// short without one.
const char* write_error(int code) { return code != 0 ? os_error_text(code) : "a write stopped short"; }

// Loads the open file and repairs it. The caller closes the file and
// releases the buffer whatever happens here.
outcome load_and_repair(file_image& image, std::uint32_t& buffer_size) {
    const outcome loaded = load_file(image, buffer_size, lock_wait_seconds());
    if (loaded.status != 0) return loaded;

    if (image.name != nullptr) print_name(stdout, image.name);
    std::printf("read %i bytes\n", static_cast<int>(image.count));

    // A signal between two writes would leave the segment over the file's
    // own bytes. Held back until the file is closed, rewritten or put back,
    // it still ends the run, just after, and never while the lines wait on
    // a reader.
    os_hold_signals();
    repair_result result = add_dht_if_missing(image);
    result = close_file(image, result);
    os_release_signals();
    // The lines go out in one write once the file is whole, so parallel
    // runs into one log never mix them, and a reader that closes the pipe
    // early ends the run only between files.
    const bool reported = std::fflush(stdout) == 0 && !std::ferror(stdout);

    switch (result) {
    case repair_result::damaged:
        return failure(7, "the rewrite failed (%s) and it could not be put back", write_error(image.error));
    case repair_result::write_failed:
        return failure(5, "the rewrite failed (%s); it is as it was", write_error(image.error));
    case repair_result::no_room:
        return failure(5, "not enough free space for the rewrite (%llu bytes needed); nothing was written",
                       static_cast<unsigned long long>(image.needed));
    case repair_result::changed: return failure(5, "it changed while it was read; nothing was written");
    case repair_result::no_memory: return failure(3, "not enough memory to judge its images; nothing was written");
    case repair_result::too_large: return failure(3, "the repair would make it 2 GiB or more; nothing was written");
    default: return reported ? done : lines_lost;
    }
}

outcome repair_path(char** argv, int index, bool named) {
    file_image image{};
    image.name = named ? os_path_text(argv, index) : nullptr;
    image.stream = os_open_for_update(argv, index);
    if (image.stream == nullptr) return failure(1, "cannot open it for reading and writing: %s", os_error_text(os_error()));
    std::setvbuf(image.stream, nullptr, _IONBF, 0);
    std::uint32_t buffer_size = 0;
    const outcome result = load_and_repair(image, buffer_size);
    // Nothing was written on these paths; there is nothing to check.
    if (image.stream != nullptr) (void)std::fclose(image.stream);
    if (image.buffer != nullptr) os_release_buffer(image.buffer, buffer_size);
    return result;
}

int run(int argc, char** argv) {
    // Before any open, so a file cannot land on a closed standard descriptor.
    const bool output_open = os_prepare_run();
    if (argc < 2) return 1;
    const int paths = os_paths(argc, argv);
    const bool named = paths > 2;

    // Large enough for the lines of any one file, so each file's lines
    // leave in the one write of the flush after it.
    static char lines[2 * 131072 + 256];
    std::setvbuf(stdout, lines, _IOFBF, sizeof lines);
    // Each failure's line in one write too, though it is written in parts.
    static char failures[4096];
    std::setvbuf(stderr, failures, _IOFBF, sizeof failures);

    int failed = 0;
    bool lost = !output_open;
    for (int i = 1; i < paths; ++i) {
        const outcome result = repair_path(argv, i, named);
        if (result.status == 6) {
            lost = true;
        } else if (result.status != 0) {
            if (result.status > failed) failed = result.status;
            // A line that cannot be written changes nothing: the status tells.
            if (named) {
                (void)std::fputs("dhtfix: ", stderr);
                print_name(stderr, os_path_text(argv, i));
                (void)std::fprintf(stderr, "%s (status %d)\n", result.reason, result.status);
                (void)std::fflush(stderr);
            }
        }
    }
    if (failed != 0) return failed;
    return lost ? 6 : 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
