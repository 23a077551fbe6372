// Writes the sample frame that the project ships: a small colour JPEG as an
// MJPEG camera sends it, without Huffman tables.

#include <cstdio>

#include "jpeg_codec.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_frame OUTPUT.jpg\n");
        return 2;
    }
    write_file(argv[1], strip_dht(encode(test_pattern(160, 120, 3), {})));
    return 0;
}
