// Writes a colour JPEG frame as an MJPEG camera sends it, without Huffman
// tables. With no size given it makes the sample that the project ships.

#include <cstdio>
#include <cstdlib>

#include "jpeg_codec.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: make_frame OUTPUT.jpg [WIDTH HEIGHT]\n");
        return 2;
    }
    const int width = argc == 4 ? std::atoi(argv[2]) : 160;
    const int height = argc == 4 ? std::atoi(argv[3]) : 120;
    write_file(argv[1], strip_dht(encode(test_pattern(width, height, 3), {})));
    return 0;
}
