// The library in memory, one frame at a time: dhtfix_repair into a buffer,
// a memcpy of the frame's bytes as the floor, and dhtfix_inspect, which is
// the walk and the fit check alone. Built and run by bench/run.
//
//   library_speed ROUNDS FILE...

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench.h"
#include "dhtfix.h"


int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: library_speed ROUNDS FILE...\n");
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const std::vector<std::uint8_t> frame = load(argv[i]);
        std::vector<std::uint8_t> out(frame.size() + 16 * dhtfix_standard_segment_size());
        std::size_t written = 0;
        dhtfix_report report{};
        volatile unsigned char sink = 0;
        const double copy = microseconds(rounds, [&] {
            std::memcpy(out.data(), frame.data(), frame.size());
            sink = out[frame.size() / 2];
        });
        const double repair = microseconds(rounds, [&] {
            (void)dhtfix_repair(frame.data(), frame.size(), out.data(), out.size(), &written);
            sink = out[written / 2];
        });
        const double check = microseconds(rounds, [&] {
            (void)dhtfix_inspect(frame.data(), frame.size(), &report, nullptr, 0);
        });
        (void)sink;
        std::printf("  %-22s %8zu bytes, %-12s memcpy %7.2f us, repair %7.2f us (%.1f x), check alone %7.2f us\n",
                    argv[i], frame.size(), report.fitting != 0 ? "repaired" : "left as is", copy, repair,
                    repair / copy, check);
    }
    return 0;
}
