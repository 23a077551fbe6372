// dhtfix FILE...: gives JPEG files that lack Huffman tables the standard ones.
//
// Exit status, for one path: 0 done (whatever was found), 1 no path or the
// file cannot be opened for reading and writing, 3 no buffer for the file
// (or its size is unknown or too large), 4 shorter than 52 bytes or
// unreadable, 5 the rewrite failed or would not fit and the file is as it
// was, 6 the file is settled but the lines could not be written to standard
// output, 7 the rewrite failed and the file could not be put back: it is
// damaged. For several paths, the highest failure (1, 3, 4, 5, 7) among
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
// AVI1 field sizes grow with their field. Each file is
// locked while it is handled, so a second run on it waits and then finds
// the tables the first one added. Writing back to disk is left to the
// system, as with other file tools: there is no fsync.
//
// Each path is handled as a run with that one path would handle it, and
// closed with its buffer released before the next is opened. With several,
// each line names its file, the way grep does, and a failure gets a line on
// standard error; with one, failures print nothing, as always.

#include <cstdint>
#include <cstdio>

#include "os.h"
#include "rewrite.h"

namespace {

constexpr std::uint32_t minimum_size = 52;

const char* reason(int status) {
    switch (status) {
    case 1: return "cannot open it for reading and writing";
    case 3: return "cannot load it (no memory, size unknown, or 2 GiB or more)";
    case 4: return "shorter than 52 bytes, or unreadable";
    case 5: return "the rewrite failed; it is as it was";
    default: return "the rewrite failed and it could not be put back";
    }
}

// Loads the open file and repairs it; the status of this one path. The
// caller closes the file and releases the buffer whatever happens here.
int load_and_repair(file_image& image, std::uint32_t& size) {
    // Held from before the size is taken until the file is closed: a second
    // run must not load the bytes this one is moving.
    os_lock(image.stream);

    // A stream that cannot seek (a FIFO) reports -1 here and ends with 3.
    const std::int64_t end = os_stream_size(image.stream);
    if (end < 0 || end > INT32_MAX) return 3;
    size = static_cast<std::uint32_t>(end);
    if (std::fseek(image.stream, 0, SEEK_SET) != 0) return 4;

    image.buffer = os_obtain_buffer(size);
    if (image.buffer == nullptr) return 3;
    image.count = static_cast<std::uint32_t>(std::fread(image.buffer, 1, size, image.stream));
    // A partial copy must never be written back as if it were the file.
    if (std::ferror(image.stream) || image.count < minimum_size) return 4;

    if (image.name != nullptr) std::printf("%s: ", image.name);
    std::printf("read %i bytes\n", static_cast<int>(image.count));

    // A signal between the two writes would leave the segment over the
    // file's own bytes. Held back until the file is closed, rewritten or
    // put back, it still ends the run, just after.
    os_hold_signals();
    repair_result result = add_dht_if_missing(image);
    result = close_file(image, result);
    // The lines go out in one write once the file is whole, so parallel
    // runs into one log never mix them, and a reader that closes the pipe
    // early ends the run only between files.
    const bool reported = std::fflush(stdout) == 0 && !std::ferror(stdout);
    os_release_signals();

    if (result == repair_result::damaged) return 7;
    if (result == repair_result::write_failed) return 5;
    if (result == repair_result::no_memory) return 3;
    return reported ? 0 : 6;
}

int repair_path(char** argv, int index, bool named) {
    file_image image{};
    image.name = named ? os_path_text(argv, index) : nullptr;
    image.stream = os_open_for_update(argv, index);
    if (image.stream == nullptr) return 1;
    std::setvbuf(image.stream, nullptr, _IONBF, 0);
    std::uint32_t size = 0;
    const int status = load_and_repair(image, size);
    // Nothing was written on these paths; there is nothing to check.
    if (image.stream != nullptr) (void)std::fclose(image.stream);
    if (image.buffer != nullptr) os_release_buffer(image.buffer, size);
    return status;
}

int run(int argc, char** argv) {
    // Before any open, so a file cannot land on a closed standard descriptor.
    const bool output_open = os_prepare_run();
    if (argc < 2) return 1;
    const bool named = argc > 2;

    // Large enough for the lines of any one file, so each file's lines
    // leave in the one write of the flush after it.
    static char lines[2 * 131072 + 256];
    std::setvbuf(stdout, lines, _IOFBF, sizeof lines);

    int failed = 0;
    bool lost = !output_open;
    for (int i = 1; i < argc; ++i) {
        const int status = repair_path(argv, i, named);
        if (status == 6) {
            lost = true;
        } else if (status != 0) {
            if (status > failed) failed = status;
            // A line that cannot be written changes nothing: the status tells.
            if (named) (void)std::fprintf(stderr, "dhtfix: %s: %s (status %d)\n", os_path_text(argv, i),
                                          reason(status), status);
        }
    }
    if (failed != 0) return failed;
    return lost ? 6 : 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
