// The fit check alone: judges every image of each file named, many times
// over, and prints the rate in MB of coded data decoded a second. Built and
// run by bench/run.
//
//   fit_speed ROUNDS FILE...

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench.h"
#include "dht_repair.h"
#include "scan_fit.h"

namespace {

// The blocks a decode of this image's first scan covers, and the coded
// bytes that stand for them: the scan's size in the same share. A rough
// count, from the first SOF and the first SOS.
void decoded_share(const std::vector<std::uint8_t>& d, std::size_t start, double& blocks, double& bytes) {
    std::size_t at = start + 2, sos = 0;
    double total = 0;
    while (at + 4 <= d.size() && d[at] == 0xFF) {
        const std::uint8_t code = d[at + 1];
        if (code == 0xDA) {
            sos = at + 2 + be16(&d[at + 2]);
            break;
        }
        if (code == 0xC0 || code == 0xC1) {
            const std::uint32_t lines = be16(&d[at + 5]), width = be16(&d[at + 7]), n = d[at + 9];
            std::uint32_t h_max = 1, v_max = 1, per_mcu = 0;
            for (std::uint32_t i = 0; i < n; ++i) {
                const std::uint32_t hv = d[at + 11 + 3 * i];
                h_max = std::max(h_max, hv >> 4);
                v_max = std::max(v_max, hv & 15);
                per_mcu += (hv >> 4) * (hv & 15);
            }
            total = double((width + 8 * h_max - 1) / (8 * h_max)) * ((lines + 8 * v_max - 1) / (8 * v_max)) * per_mcu;
        }
        at += 2 + be16(&d[at + 2]);
    }
    std::size_t end = sos;
    while (end + 1 < d.size() && !(d[end] == 0xFF && d[end + 1] == 0xD9)) ++end;
    const double share = total <= blocks_to_check ? 1.0 : blocks_to_check / total;
    blocks += total * share;
    bytes += double(end - sos) * share;
}

// Judges each image of d in turn, and hands each verdict to seen.
template <typename F>
void judge_all(const std::vector<std::uint8_t>& d, F seen) {
    for (std::size_t start = 0;;) {
        const jpeg_image image = judge_image(d.data(), d.size(), start);
        seen(image, start);
        if (image.next == 0 || image.kind == image_kind::damaged) break;
        start = image.next;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: fit_speed ROUNDS FILE...\n");
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    std::vector<std::vector<std::uint8_t>> files;
    double blocks = 0, bytes = 0;
    std::size_t images = 0, fits = 0;
    for (int i = 2; i < argc; ++i) {
        files.push_back(load(argv[i]));
        const auto& d = files.back();
        judge_all(d, [&](const jpeg_image& image, std::size_t start) {
            ++images;
            fits += image.kind == image_kind::fits;
            decoded_share(d, start, blocks, bytes);
        });
    }
    const double seconds = microseconds(rounds, [&] {
        for (const auto& d : files) judge_all(d, [](const jpeg_image&, std::size_t) {});
    }) / 1e6;
    std::printf("%zu images (%zu fit), %.0f blocks decoded each, %.1f us an image, %.0f MB/s of coded data\n", images,
                fits, blocks / double(images), seconds * 1e6 / double(images), bytes / seconds / 1e6);
    return 0;
}
