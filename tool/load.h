#pragma once

// Loading a file whole, as dhtfix and dhtcheck both do: only a regular
// file, measured and then read in one call of a byte more, so that a read
// that stops short or a file that grows is never taken for the file.

#include <cstdint>
#include <cstdio>

#include "rewrite.h"

// A path's status, and the reason its line on standard error gives.
struct outcome {
    int status;
    char reason[256];
};

[[gnu::format(printf, 2, 3)]] outcome failure(int status, const char* format, ...);

inline constexpr outcome done{0, {}};

// Loads image.stream into a buffer of its own, which the caller gives back
// with os_release_buffer(image.buffer, buffer_size) whatever happens. With
// lock_seconds of 0 or more, the file is locked first, waiting that long.
// Statuses as dhtfix's: 3 not a regular file or cannot load it, 4 short or
// unreadable, 5 locked by another program.
outcome load_file(file_image& image, std::uint32_t& buffer_size, int lock_seconds);
