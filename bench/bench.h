#pragma once

// What the benchmark programs share: a file read whole, and a call timed.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

inline std::vector<std::uint8_t> load(const char* path) {
    std::vector<std::uint8_t> data;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return data;
    std::uint8_t chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return data;
}

// The time of one call, in microseconds, over rounds calls after one to warm up.
template <typename F>
double microseconds(int rounds, F call) {
    call();
    const auto begin = std::chrono::steady_clock::now();
    for (int r = 0; r < rounds; ++r) call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() * 1e6 / rounds;
}
