#include "support.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::string utf8_of(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

}  // namespace

fs::path native_path(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

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
