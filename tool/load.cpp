#include "load.h"

#include <cstdarg>

#include "os.h"

outcome failure(int status, const char* format, ...) {
    outcome result{status, {}};
    std::va_list args;
    va_start(args, format);
    (void)std::vsnprintf(result.reason, sizeof result.reason, format, args);
    va_end(args);
    return result;
}

outcome load_file(file_image& image, std::uint32_t& buffer_size, int lock_seconds) {
    // Checked before anything waits on it or reads it: a device, a FIFO or a
    // terminal that a link or a swapped folder put in a file's place is
    // never read, let alone written.
    if (!os_is_regular_file(image.stream)) return failure(3, "not a regular file");

    // Held from before the size is taken until the file is closed: a second
    // run must not load the bytes this one is moving.
    if (lock_seconds >= 0 && !os_lock(image.stream, lock_seconds))
        return failure(5, "another program holds its lock; nothing was written");

    // Size and time of last write, taken before the read: a change while it
    // runs shows at the rewrite.
    os_file_state loaded{};
    if (!os_state(image.stream, loaded)) return failure(3, "cannot load it: %s", os_error_text(os_error()));
    if (loaded.size > INT32_MAX) return failure(3, "cannot load it: it is 2 GiB or more");
    const auto size = static_cast<std::uint32_t>(loaded.size);
    image.modified = loaded.modified;

    // One byte more than measured: a read that ends early (a failing FUSE
    // or network mount reports the end there) or a file that grew would
    // otherwise pass for the whole file, and the rewrite would write over
    // bytes it never read.
    image.buffer = os_obtain_buffer(size + 1);
    if (image.buffer == nullptr) return failure(3, "cannot load it: not enough memory");
    buffer_size = size + 1;
    image.count = static_cast<std::uint32_t>(std::fread(image.buffer, 1, size + 1, image.stream));
    if (std::ferror(image.stream)) return failure(4, "cannot read it: %s", os_error_text(os_error()));
    if (image.count < minimum_size) return failure(4, "shorter than 52 bytes");
    if (image.count != size) return failure(4, "it changed size while it was read, or the read stopped short");
    return done;
}
