// dhtcheck [OPTION]... FILE...: tells which files need the standard
// Huffman tables, without writing. Each file is opened for reading only and
// loaded as dhtfix loads it, then judged by libdhtfix, so it works on
// read-only media and on files it may not write.
//
// Status: 0 when no file needs tables, 1 when one does, 2 when a file could
// not be read, a line could not be written, or the options were wrong.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dhtfix.h"
#include "load.h"
#include "os.h"
#include "rewrite.h"

namespace {

const char usage[] =
    "Usage: dhtcheck [OPTION]... FILE...\n"
    "Tells which JPEG files need the standard Huffman tables, without writing.\n"
    "One line per file: its name, then needs tables (N of M images), has tables,\n"
    "standard tables do not fit, ends early, not a JPEG, damaged,\n"
    "no tables needed, or unreadable: REASON.\n"
    "\n"
    "  -q         print only the files that need tables, their names alone\n"
    "  -0         end each line with NUL instead of a line feed, and write names\n"
    "             as they are, for xargs -0\n"
    "  --help     show this help\n"
    "  --version  show the version\n"
    "  --         the arguments after it are files\n"
    "\n"
    "Exit status: 0 if no file needs tables, 1 if one does, 2 if a file could not\n"
    "be read.\n";

struct options {
    bool quiet = false;
    bool nul = false;
};

// The verdict's words for a loaded file, which the loader has made sure is
// not too short to judge.
const char* verdict_of(const file_image& image, char* text, std::size_t room, bool& needs) {
    dhtfix_report report{};
    dhtfix_image images[64];
    (void)dhtfix_inspect(image.buffer, image.count, &report, images, 64);
    needs = report.fitting != 0;
    switch (report.verdict) {
    case DHTFIX_NOT_JPEG: return "not a JPEG";
    case DHTFIX_DAMAGED: return "damaged";
    case DHTFIX_HAS_TABLES: return "has tables";
    case DHTFIX_NEEDS_NONE: return "no tables needed";
    default: break;
    }
    if (needs) {
        (void)std::snprintf(text, room, "needs tables (%zu of %zu images)", report.fitting, report.images);
        return text;
    }
    // Arithmetic-coded images need no Huffman tables at all.
    if (report.lacking == 0) return "no tables needed";
    // None fits: a file still being written ends early in its last image.
    dhtfix_fit last = images[report.lacking <= 64 ? report.lacking - 1 : 63].fit;
    if (report.lacking > 64) {
        auto* all = static_cast<dhtfix_image*>(std::malloc(report.lacking * sizeof(dhtfix_image)));
        if (all != nullptr && dhtfix_inspect(image.buffer, image.count, &report, all, report.lacking) == DHTFIX_OK)
            last = all[report.lacking - 1].fit;
        std::free(all);
    }
    return last == DHTFIX_ENDS_EARLY ? "ends early" : "standard tables do not fit";
}

// Checks one file; false if it could not be read.
bool check(char** argv, int index, const options& how, bool& needs) {
    file_image image{};
    image.stream = os_open_for_reading(argv, index);
    outcome result = done;
    if (image.stream == nullptr) result = failure(2, "cannot open it for reading: %s", os_error_text(os_error()));
    std::uint32_t buffer_size = 0;
    if (image.stream != nullptr) {
        std::setvbuf(image.stream, nullptr, _IONBF, 0);
        result = load_file(image, buffer_size, -1);
    }
    char text[64];
    const char* verdict = result.reason;
    needs = false;
    if (result.status == 0) verdict = verdict_of(image, text, sizeof text, needs);
    if (image.stream != nullptr) (void)std::fclose(image.stream);
    if (image.buffer != nullptr) os_release_buffer(image.buffer, buffer_size);
    const bool readable = result.status == 0;

    if (how.quiet && !needs) return readable;
    // NUL cannot be in a name, so with -0 a name is written as it is.
    const char* name = os_path_text(argv, index);
    if (how.nul) (void)std::fputs(name, stdout);
    else print_escaped(stdout, name);
    if (!how.quiet) (void)std::printf(": %s%s", result.status == 0 ? "" : "unreadable: ", verdict);
    (void)std::fputc(how.nul ? '\0' : '\n', stdout);
    return readable;
}

}  // namespace

int main(int argc, char** argv) {
    (void)os_prepare_run();
    const int paths = os_paths(argc, argv);
    options how;
    int* files = static_cast<int*>(std::malloc(sizeof(int) * static_cast<std::size_t>(paths)));
    if (files == nullptr) return 2;
    // Given back on every way out.
    const struct freed {
        void* p;
        ~freed() { std::free(p); }
    } free_files{files};
    int n = 0;
    bool in_options = true;
    for (int i = 1; i < paths; ++i) {
        const char* arg = os_path_text(argv, i);
        if (in_options && arg[0] == '-' && arg[1] != '\0') {
            if (std::strcmp(arg, "--") == 0) {
                in_options = false;
                continue;
            }
            if (std::strcmp(arg, "--help") == 0) {
                (void)std::fputs(usage, stdout);
                return std::fflush(stdout) == 0 ? 0 : 2;
            }
            if (std::strcmp(arg, "--version") == 0) {
                (void)std::printf("dhtcheck (dhtfix) %s\n", dhtfix_version());
                return std::fflush(stdout) == 0 ? 0 : 2;
            }
            for (const char* letter = arg + 1; *letter != '\0'; ++letter) {
                if (*letter == 'q') {
                    how.quiet = true;
                } else if (*letter == '0') {
                    how.nul = true;
                } else {
                    (void)std::fprintf(stderr, "dhtcheck: unknown option %s\n%s", arg, usage);
                    return 2;
                }
            }
            continue;
        }
        files[n++] = i;
    }
    if (n == 0) {
        (void)std::fprintf(stderr, "dhtcheck: no file named\n%s", usage);
        return 2;
    }
    bool any_needs = false, all_read = true;
    for (int k = 0; k < n; ++k) {
        bool needs = false;
        all_read = check(argv, files[k], how, needs) && all_read;
        any_needs = any_needs || needs;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return 2;
    return !all_read ? 2 : any_needs ? 1 : 0;
}
