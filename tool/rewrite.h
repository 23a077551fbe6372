#pragma once

// The file's side of a repair: the lines about what the rule found, and
// the rewrite in place with its undo.

#include <cstdint>
#include <cstdio>

#include "dht_repair.h"

// The whole file as loaded by the front end, which owns it for the run.
// The stream must be unbuffered: a write that fails then leaves nothing
// pending for a later close to push into the file afterwards.
struct file_image {
    const char* name;  // prefixes each line when several files are named; else nullptr
    std::FILE* stream;
    std::uint8_t* buffer;
    std::uint32_t count;           // bytes actually read; bounds every use of buffer
    std::int64_t modified;         // the file's time of last write when it was read
    std::uint32_t rewritten_from;  // the first byte a rewrite wrote, for its undo
    std::uint64_t rewritten_to;    // and where its writes reached
    std::uint64_t needed;          // the bytes a rewrite writes, which need room on the disk
    int error;                     // the system's code for a failed write or close; 0 if none
};

enum class repair_result {
    no_tag,        // not a JPEG, damaged, or no table segment before the scan; unchanged
    has_dht,       // a DHT segment comes before the first scan; unchanged
    left_alone,    // images lack tables, but none can take the standard ones; unchanged
    dht_added,     // the standard segment now stands before the first DQT of every image that fits
    no_memory,     // too many images to keep track of; unchanged
    too_large,     // the repair would make the file 2 GiB or larger; unchanged
    changed,       // another program changed the file after it was read; unchanged
    no_room,       // not enough free space for all the rewrite writes; unchanged
    write_failed,  // the rewrite failed; the file is as it was
    damaged,       // the rewrite failed and the file could not be put back
};

// The first byte a rewrite for these images writes.
std::uint32_t first_written(const lacking_image* images, std::uint32_t n);

// What a rewrite did: how far its writes got, how many bytes it had to
// write, and the system's code for the write that failed (0 if none).
struct rewrite_trace {
    std::uint64_t reached;
    std::uint64_t needed;
    int error;
};

// Rewrites the file from its first changed byte on: the standard segment
// in front of the DQT of each image that fits, and its field sizes grown,
// if the file's filesystem has room for all it writes. Returns dht_added;
// no_room, with nothing written; write_failed once the file is as it was;
// or damaged if it could not be put back.
repair_result insert_dht_segment(std::FILE* stream, const std::uint8_t* buffer, std::uint32_t count,
                                 const lacking_image* images, std::uint32_t n, rewrite_trace& trace);

// Puts a file that a rewrite from offset from changed, up to reached, back
// as it was loaded: buffer[from, reached) written back over what it
// changed, then the file cut to count bytes if it grew. True if the bytes
// are back and the size is right, whatever a call returned on the way.
bool put_back(std::FILE* stream, const std::uint8_t* buffer, std::uint32_t count, std::uint32_t from,
              std::uint64_t reached);

// Writes a file's name and ": ", which begin each of its lines when several
// files are named. A byte below 0x20, 0x7F and the backslash are written as
// C escapes, so that no name can end a line or forge one; every other byte,
// UTF-8 too, as it is.
void print_name(std::FILE* out, const char* name);

// The name alone, escaped in the same way.
void print_escaped(std::FILE* out, const char* name);

// Reads the decision, prints a line for each image that lacks tables, and
// rewrites the file where they fit.
repair_result add_dht_if_missing(file_image& image);

// Closes the image's stream, which ends its lock. After a rewrite the close
// is part of it: a close that fails (a deferred write error) makes the
// rewrite a failed one, and the file is put back. Returns the run's result
// with that taken into account.
repair_result close_file(file_image& image, repair_result result);
