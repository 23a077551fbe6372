// dhtfix FILE: gives a JPEG file that lacks Huffman tables the standard ones.
//
// Exit status: 0 done (whatever was found), 1 no path or the file cannot be
// opened for reading and writing, 3 no buffer for the file (or its size is
// unknown or too large), 4 shorter than 52 bytes or unreadable, 5 the
// rewrite failed and the file was put back as it was, 6 the file is whole
// but the lines could not be written to standard output.
//
// The lines of a run tell what was found and tried; the status tells
// whether it held. In a file that starts with SOI the search begins past
// the APPn and COM segments that follow it: their payloads carry EXIF and
// JFIF thumbnails and AVI1 field sizes, whose bytes would otherwise pass
// for the frame's own tags.

#include <cstdint>
#include <cstdio>

#include "dht_repair.h"
#include "os.h"

namespace {

constexpr std::uint32_t minimum_size = 52;

// Held for the whole process, which closes the stream and frees the buffer
// as it ends; being reachable from here, neither counts as leaked.
file_image loaded;

int run(int argc, char** argv) {
    if (argc < 2) return 1;

    os_prepare_run();
    // The lines go out in one write when the run ends, so parallel runs
    // into one log never mix them, and a closed pipe cannot end the run
    // before the file is whole.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

    std::FILE* const stream = loaded.stream = os_open_for_update(argv, 1);
    if (stream == nullptr) return 1;
    std::setvbuf(stream, nullptr, _IONBF, 0);

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
    // file's own bytes. Held back until the rewrite is done or undone, it
    // still ends the run, just after.
    os_hold_signals();
    const repair_result result = add_dht_if_missing(loaded);
    os_release_signals();

    // A script that keeps the log must not read success from a run whose
    // lines were lost; a failed rewrite still says so first.
    const bool reported = std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (result == repair_result::write_failed) return 5;
    return reported ? 0 : 6;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
