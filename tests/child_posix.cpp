// Runs the tool in a child process on POSIX systems.

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/prctl.h>
#endif

#include <stdexcept>

#include "support.h"

namespace {

// Dropped from the bounding set, root's powers over file modes are gone
// once the tool is exec'd, while this child can still reach it wherever
// the build lies; changing user instead fails in a directory only root may
// enter.
bool drop_root_override() {
#ifdef __linux__
    return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0
           && prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0;
#else
    return false;
#endif
}

}  // namespace

std::string open_error_text(open_error error) {
    return std::strerror(error == open_error::missing ? ENOENT : error == open_error::directory ? EISDIR : EACCES);
}

bool write_to(int fd, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void close_pipe(int fd) { close(fd); }

namespace {

// The program the child runs: the tool, or a companion in its folder.
std::string program_path(const child_setup& setup) {
    const std::string tool = DHTFIX_PATH;
    if (setup.program.empty()) return tool;
    return tool.substr(0, tool.rfind('/') + 1) + setup.program;
}

}  // namespace

running_dhtfix start_dhtfix(const std::vector<std::string>& args, const child_setup& setup) {
    int out[2], in[2] = {-1, -1};
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    if (setup.input_pipe && pipe(in) != 0) throw std::runtime_error("pipe failed");
    // The test writes to a reader that may be gone; that must fail the write, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string program = program_path(setup);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (setup.input_pipe && (dup2(in[0], STDIN_FILENO) < 0 || close(in[0]) != 0 || close(in[1]) != 0)) _exit(124);
        const int to = setup.out_file.empty() ? out[1] : open(setup.out_file.c_str(), O_WRONLY);
        if (to < 0 || dup2(to, STDOUT_FILENO) < 0) _exit(124);
        close(out[0]);
        close(out[1]);
        if (setup.close_stdout) close(STDOUT_FILENO);
        if (setup.broken_pipe) {
            int gone[2];
            if (pipe(gone) != 0 || dup2(gone[1], STDOUT_FILENO) < 0) _exit(124);
            close(gone[0]);
        }
        if (!setup.err_file.empty()) {
            const int err = open(setup.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err < 0 || dup2(err, STDERR_FILENO) < 0) _exit(125);
        }
        std::signal(SIGXFSZ, setup.ignore_sigxfsz ? SIG_IGN : SIG_DFL);
        std::signal(SIGPIPE, SIG_DFL);
        for (const auto& [resource, value] : {std::pair{RLIMIT_FSIZE, setup.file_size},
                                              {RLIMIT_AS, setup.address_space},
                                              {RLIMIT_NOFILE, setup.open_files}}) {
            const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
            if (value >= 0 && setrlimit(resource, &limit) != 0) _exit(120);
        }
        if (!setup.directory.empty() && chdir(setup.directory.c_str()) != 0) _exit(123);
        if (setup.obey_file_modes && geteuid() == 0 && !drop_root_override())
            _exit(cannot_drop_root_override);
        // A cross-built tool runs under the emulator, named first.
        const bool emulated = DHTFIX_EMULATOR[0] != '\0';
        std::vector<char*> argv;
        if (emulated) argv.push_back(const_cast<char*>(DHTFIX_EMULATOR));
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(122);
    }
    close(out[1]);
    if (setup.input_pipe) close(in[0]);
    return {pid, out[0], in[1]};
}

bool still_running(const running_dhtfix& child) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child.process), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

run_result finish(const running_dhtfix& child) {
    run_result result{-1, {}};
    char chunk[4096];
    ssize_t n;
    while ((n = read(child.out, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) result.out.append(chunk, static_cast<std::size_t>(n));
    close(child.out);
    int status = 0;
    while (waitpid(static_cast<pid_t>(child.process), &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
