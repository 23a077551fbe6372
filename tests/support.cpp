#include "support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

#include "dhtfix.h"

namespace fs = std::filesystem;

namespace {

std::string utf8_of(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

}  // namespace

fs::path native_path(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

bytes library_repair(const bytes& frame) {
    dhtfix_report report{};
    EXPECT_EQ(dhtfix_inspect(frame.data(), frame.size(), &report, nullptr, 0), DHTFIX_OK);
    const std::size_t size = report.repaired_size;
    const int expected = report.fitting != 0 ? DHTFIX_OK : DHTFIX_UNCHANGED;

    bytes out(size);
    std::size_t written = 0;
    EXPECT_EQ(dhtfix_repair(frame.data(), frame.size(), out.data(), out.size(), &written), expected);
    EXPECT_EQ(written, size);
    if (size != 0) {
        bytes small(size - 1);
        EXPECT_EQ(dhtfix_repair(frame.data(), frame.size(), small.data(), small.size(), &written),
                  DHTFIX_BUFFER_TOO_SMALL);
        EXPECT_EQ(written, size);
    }

    // Only a repair that is made touches the room past the frame.
    bytes in_place = frame;
    in_place.resize(size, 0xA5);
    EXPECT_EQ(dhtfix_repair_in_place(in_place.data(), frame.size(), in_place.size(), &written), expected);
    EXPECT_EQ(written, size);
    EXPECT_TRUE(in_place == out) << "in place differs from into a buffer";
    if (size > frame.size()) {
        bytes cramped = frame;
        cramped.resize(size - 1, 0xA5);
        const bytes before = cramped;
        EXPECT_EQ(dhtfix_repair_in_place(cramped.data(), frame.size(), cramped.size(), &written),
                  DHTFIX_BUFFER_TOO_SMALL);
        EXPECT_EQ(written, size);
        EXPECT_TRUE(cramped == before) << "a refused repair in place changed the buffer";
    }
    return out;
}

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes read_file(const std::string& path) {
    std::ifstream in(native_path(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const bytes& content) {
    std::ofstream out(native_path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

scratch_dir::scratch_dir() {
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("dhtfix-test-" + std::to_string(seed()));
        if (fs::create_directory(candidate)) {
            fs::permissions(candidate, fs::perms::owner_all);
            root = utf8_of(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch directory");
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    fs::remove_all(native_path(root), ignored);
}

run_result run_dhtfix(const std::vector<std::string>& args, const child_setup& setup) {
    return finish(start_dhtfix(args, setup));
}

namespace {

std::thread feeder;

}  // namespace

void feed(const running_dhtfix& child, const bytes& input, std::size_t chunk) {
    feeder = std::thread([fd = child.in, &input, chunk] {
        const std::size_t step = chunk == 0 ? input.size() : chunk;
        for (std::size_t at = 0; at < input.size(); at += step)
            if (!write_to(fd, input.data() + at, std::min(step, input.size() - at))) break;
        close_pipe(fd);
    });
}

void join_feeder() {
    if (feeder.joinable()) feeder.join();
}

run_result run_with_input(const std::string& program, const std::vector<std::string>& args, const bytes& input,
                          std::size_t chunk, const child_setup& setup) {
    child_setup with = setup;
    with.program = program;
    with.input_pipe = true;
    const running_dhtfix child = start_dhtfix(args, with);
    feed(child, input, chunk);
    const run_result result = finish(child);
    join_feeder();
    return result;
}
