// dhtfix FILE: gives a JPEG file that lacks Huffman tables the standard ones.
//
// Exit status: 0 done (whatever was found), 1 no path or the file cannot be
// opened for reading and writing, 3 no buffer for the file (or its size is
// unknown or too large), 4 shorter than 52 bytes or unreadable, 5 the
// rewrite failed or would not fit and the file is as it was, 6 the file is
// settled but the lines could not be written to standard output, 7 the
// rewrite failed and the file could not be put back: it is damaged.
//
// The lines of a run tell what was found and tried; the status tells
// whether it held. Only a JPEG is ever written: the decision is read from
// its segments, SOI to the first scan, so a photo that has its tables keeps
// every byte where its own offsets (second pictures, maker-note previews)
// expect it, and a file that is not a JPEG is left alone. The file is
// locked for the run, so a second run on it waits and then finds the
// tables the first one added. Writing back to disk is left to the system,
// as with other file tools: there is no fsync.

#include <cstdint>
#include <cstdio>

#include "dht_repair.h"
#include "os.h"

namespace {

constexpr std::uint32_t minimum_size = 52;

// Held for the whole process, which frees the buffer as it ends; being
// reachable from here, it does not count as leaked.
file_image loaded;

int run(int argc, char** argv) {
    // Before any open, so the file cannot land on a closed standard descriptor.
    const bool output_open = os_prepare_run();
    if (argc < 2) return 1;

    // The lines go out in one write when the run ends, so parallel runs
    // into one log never mix them, and a closed pipe cannot end the run
    // before the file is whole.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

    std::FILE* const stream = loaded.stream = os_open_for_update(argv, 1);
    if (stream == nullptr) return 1;
    std::setvbuf(stream, nullptr, _IONBF, 0);
    // Held from before the size is taken until the file is closed: a second
    // run must not load the bytes this one is moving.
    os_lock(stream);

    // A stream that cannot seek (a FIFO) reports -1 here and ends with 3.
    const std::int64_t end = os_stream_size(stream);
    if (end < 0 || end > INT32_MAX) return 3;
    const auto size = static_cast<std::uint32_t>(end);
    if (std::fseek(stream, 0, SEEK_SET) != 0) return 4;

    loaded.buffer = os_obtain_buffer(size);
    if (loaded.buffer == nullptr) return 3;
    loaded.count = static_cast<std::uint32_t>(std::fread(loaded.buffer, 1, size, stream));
    // A partial copy must never be written back as if it were the file.
    if (std::ferror(stream) || loaded.count < minimum_size) return 4;

    std::printf("read %i bytes\n", static_cast<int>(loaded.count));

    // A signal between the two writes would leave the segment over the
    // file's own bytes. Held back until the rewrite is done or undone, and
    // the file closed, it still ends the run, just after.
    os_hold_signals();
    repair_result result = add_dht_if_missing(loaded);
    result = close_file(loaded, result);
    os_release_signals();

    // A script that keeps the log must not read success from a run whose
    // lines were lost; a failed rewrite still says so first.
    const bool reported = output_open && std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (result == repair_result::damaged) return 7;
    if (result == repair_result::write_failed) return 5;
    return reported ? 0 : 6;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
