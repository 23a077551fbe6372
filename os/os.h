#pragma once

// What a run asks of the operating system beyond the C runtime. Each
// platform answers in a file of its own (os_posix.cpp, os_windows.cpp), so
// the run sequence and the repair read the same everywhere.

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Readies the process for a run: a closed standard descriptor gets the
// null device, so the file cannot be opened in its place and take the
// lines; a size limit must turn into a failed write rather than end the
// process; the lines end in a bare line feed. Returns false if standard
// output was closed.
bool os_prepare_run();

// The run's paths, numbered 1 to the count returned, for
// os_open_for_update and os_path_text. On Windows, whose shells leave
// wildcards to each program, * and ? in a path's last part are expanded
// there: the files that match, in name order, folders left out; a path that
// matches nothing stays as it is. Elsewhere the shell has done it, and the
// count is argc.
int os_paths(int argc, char** argv);

// Opens the file named by argv[index] for reading and writing, binary,
// never creating it, without waiting on a device or FIFO and without
// taking a controlling terminal. On Windows the name comes from the wide
// command line, so names outside the ANSI code page open too.
std::FILE* os_open_for_update(char** argv, int index);

// Opens the file named by argv[index] for reading only, in the same way.
std::FILE* os_open_for_reading(char** argv, int index);

// True if the stream is a regular file: not a device, FIFO, socket or
// terminal.
bool os_is_regular_file(std::FILE* stream);

// Waits up to seconds for an exclusive lock on the whole file, so that two
// runs on one file, through any path, take turns. Closing the file releases
// it. False if another program still holds it then; where the filesystem
// cannot lock, true, and the run goes on without.
bool os_lock(std::FILE* stream, int seconds);

// The file's size, measured in 64 bits, and the time it was last written:
// together, what tells that another program changed it.
struct os_file_state {
    std::int64_t size;
    std::int64_t modified;
};
bool os_state(std::FILE* stream, os_file_state& out);

// Writes size bytes at offset with the system's own call, past any
// buffering of the C library; returns how many bytes reached the file. A
// call that writes nothing or fails ends it (an interrupted one is tried
// again), so a write that makes no progress can never spin.
std::size_t os_write_at(std::FILE* stream, std::uint64_t offset, const std::uint8_t* data, std::size_t size);

// A second stream on the same open file, sharing its lock; nullptr if none
// can be had.
std::FILE* os_duplicate(std::FILE* stream);

// Bytes free for this user on the stream's filesystem; -1 if it cannot tell.
std::int64_t os_space_available(std::FILE* stream);

// The path in argv[index] as text for the lines, UTF-8 on Windows too.
// Valid until the next call.
const char* os_path_text(char** argv, int index);

// True where the backslash separates folders (Windows). There it is
// written as it is in the lines, like any ordinary name's bytes; no file
// name there can hold the bytes that an escape stands for.
extern const bool os_backslash_separates;

// The system's code for why the call just made failed (errno, or
// GetLastError on Windows), and a short text for a code, in the system's
// words; the text is valid until the next call.
int os_error();
const char* os_error_text(int code);

// A buffer of size bytes, or nullptr; given back with os_release_buffer.
std::uint8_t* os_obtain_buffer(std::uint32_t size);
void os_release_buffer(std::uint8_t* buffer, std::uint32_t size);

// Between these two, nothing that would end the process (a signal, Ctrl+C)
// takes effect; what arrived in between takes effect once released.
void os_hold_signals();
void os_release_signals();

// Cuts the file behind the stream to size bytes.
bool os_truncate(std::FILE* stream, std::uint32_t size);

// For the stream filter: reads what is there, up to size bytes, waiting
// only for the first; 0 at the end, -1 on an error. Standard input and
// output are binary everywhere.
std::ptrdiff_t os_read_some(std::FILE* stream, std::uint8_t* data, std::size_t size);

// Writes all of it with the system's own calls; false if it could not.
bool os_write_all(std::FILE* stream, const std::uint8_t* data, std::size_t size);

// A new file at path (UTF-8), for writing; nullptr if it exists or cannot
// be made.
std::FILE* os_create_new(const char* path);

// Gives the file at from the name to, which must not exist unless replace
// is true; false if it could not.
bool os_rename(const char* from, const char* to, bool replace);

void os_remove(const char* path);

// A number that no other running process has, for a temporary name.
unsigned long os_process_id();
