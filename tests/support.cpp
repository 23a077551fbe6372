#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

scratch_dir::scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dhtfix-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

running_dhtfix start_dhtfix(const std::vector<std::string>& args, const child_setup& setup) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int to = setup.out_file.empty() ? out[1] : open(setup.out_file.c_str(), O_WRONLY);
        if (to < 0 || dup2(to, STDOUT_FILENO) < 0) _exit(124);
        close(out[0]);
        close(out[1]);
        std::signal(SIGXFSZ, setup.ignore_sigxfsz ? SIG_IGN : SIG_DFL);
        for (const auto& [resource, value] : {std::pair{RLIMIT_FSIZE, setup.file_size},
                                              {RLIMIT_AS, setup.address_space}}) {
            const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
            if (value >= 0 && setrlimit(resource, &limit) != 0) _exit(120);
        }
        if (!setup.directory.empty() && chdir(setup.directory.c_str()) != 0) _exit(123);
        // Dropped from the bounding set, the two powers are gone once the
        // tool is exec'd, while this child can still reach it wherever the
        // build lies; changing user instead fails in a directory only root
        // may enter.
        if (setup.obey_file_modes && geteuid() == 0
            && (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0
                || prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
            _exit(cannot_drop_root_override);
        std::vector<char*> argv{const_cast<char*>(DHTFIX_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(DHTFIX_PATH, argv.data());
        _exit(122);
    }
    close(out[1]);
    return {pid, out[0]};
}

run_result finish(const running_dhtfix& child) {
    run_result result{-1, {}};
    char chunk[4096];
    ssize_t n;
    while ((n = read(child.out, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) result.out.append(chunk, static_cast<std::size_t>(n));
    close(child.out);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

run_result run_dhtfix(const std::vector<std::string>& args, const child_setup& setup) {
    return finish(start_dhtfix(args, setup));
}
