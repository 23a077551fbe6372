#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using bytes = std::vector<std::uint8_t>;

// Paths in the tests are UTF-8 on every platform; this is one for the
// file system's own calls.
std::filesystem::path native_path(const std::string& utf8);

bytes operator+(bytes a, const bytes& b);
bytes read_file(const std::string& path);
void write_file(const std::string& path, const bytes& content);

// What the library makes of a frame in memory: the bytes of dhtfix_repair,
// checked there against dhtfix_inspect's size, a buffer one byte too
// small, and dhtfix_repair_in_place in a buffer of just the room it needs.
bytes library_repair(const bytes& frame);

// True where CI=true: there a test that cannot set up what it needs fails.
bool in_ci();

// Ends a test that cannot set up what it needs: a skip, or a failure in CI.
#define SKIP_UNLESS_CI(why)                  \
    do {                                     \
        if (in_ci()) FAIL() << (why);        \
        GTEST_SKIP() << (why);               \
    } while (false)

// The system's words for why a file would not open, as the tool writes them.
enum class open_error { missing, directory, denied };
std::string open_error_text(open_error error);

// A fresh directory that is removed with everything in it at the end of the test.
struct scratch_dir {
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path(const std::string& name) const { return root + "/" + name; }
    std::string root;
};

// On Windows only directory is used: the limits are POSIX resources, and
// the read-only attribute binds every user there anyway.
struct child_setup {
    long long file_size = -1;       // RLIMIT_FSIZE in bytes; -1 leaves it alone
    bool ignore_sigxfsz = true;
    bool obey_file_modes = false;   // root gives up its power to ignore file modes
    long long address_space = -1;   // RLIMIT_AS in bytes; -1 leaves it alone
    std::string directory = {};     // where the child runs; empty: here
    std::string out_file = {};      // standard output goes here instead of to the pipe
    bool close_stdout = false;      // the child starts with standard output closed
    bool broken_pipe = false;       // standard output is a pipe whose reader is gone
    std::string err_file = {};      // standard error goes here; empty: the parent's
    long long open_files = -1;      // RLIMIT_NOFILE; -1 leaves it alone
    std::string program = {};       // a companion beside the tool (dhtcat, dhtcheck); empty: dhtfix
    bool input_pipe = false;        // standard input is a pipe the test writes to (running_dhtfix::in)
};

// The child's status when it could not give up root's powers over file modes.
inline constexpr int cannot_drop_root_override = 121;

struct run_result {
    int status;        // exit status, or 128 + signal number
    std::string out;   // everything written to standard output
};

struct running_dhtfix {
    std::intptr_t process;  // its pid, or its handle on Windows
    int out;                // read end of its standard output
    int in = -1;            // write end of its standard input, with input_pipe
};

// A write to the pipe, whole; false if the reader is gone. And its close.
bool write_to(int fd, const std::uint8_t* data, std::size_t size);
void close_pipe(int fd);

// Writes bytes to a child's standard input, in chunks of the given size
// (0: at once), on a thread of its own, then closes it; the caller reads
// the output meanwhile and joins the thread after finish.
void feed(const running_dhtfix& child, const bytes& input, std::size_t chunk);
void join_feeder();

// Runs a companion on input fed through a pipe in chunks: its status and
// output.
run_result run_with_input(const std::string& program, const std::vector<std::string>& args, const bytes& input,
                          std::size_t chunk = 0, const child_setup& setup = {});

// Starts the built dhtfix with the given arguments (UTF-8) in a child process.
running_dhtfix start_dhtfix(const std::vector<std::string>& args, const child_setup& setup = {});

// True while the child runs; its end is left for finish to collect.
bool still_running(const running_dhtfix& child);

// Waits for the child to end, collecting its output.
run_result finish(const running_dhtfix& child);

// Both of the above at once.
run_result run_dhtfix(const std::vector<std::string>& args, const child_setup& setup = {});
