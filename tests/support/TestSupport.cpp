#include "TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

extern char** environ;

namespace kestrel_test {

std::vector<std::string> OpenDescriptors() {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        out.push_back(entry.path().filename().string() + " -> " +
                      std::filesystem::read_symlink(entry.path(), ec).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

long NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

namespace {
std::string Name(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}
}  // namespace

TempDir::TempDir(unsigned mode) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
        chmod(path_.c_str(), static_cast<mode_t>(mode));
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool WriteFile(const std::string& path, const std::string& text, unsigned mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out.good() && chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& add,
                                         const std::vector<std::string>& dropNames) {
    std::set<std::string> drop(dropNames.begin(), dropNames.end());
    for (const std::string& e : add) drop.insert(Name(e));
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (!drop.count(Name(*e))) env.push_back(*e);
    for (const std::string& e : add) {
        std::erase_if(env, [&](const std::string& x) { return Name(x) == Name(e); });
        env.push_back(e);
    }
    return env;
}

ProcResult RunProcess(const RunOptions& o) {
    ProcResult r;
    std::vector<std::string> store{o.program};
    store.insert(store.end(), o.args.begin(), o.args.end());
    std::vector<char*> argv;
    for (std::string& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = o.env.empty() ? EnvironmentWith({}) : o.env;
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd >= 0) close(fd);
        return r;
    }
    const long start = NowMs();
    long limitMs = o.limitMs;
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (o.gid != static_cast<gid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(o.gid) != 0)) _exit(126);
        if (o.uid != static_cast<uid_t>(-1) && setuid(o.uid) != 0) _exit(126);
        if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
        execve(o.program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        for (int fd : {in[1], out[0], err[0]}) close(fd);
        return r;
    }
    signal(SIGPIPE, SIG_IGN);  // a child that does not read its input must not end the test
    if (!o.input.empty()) (void)!write(in[1], o.input.data(), o.input.size());
    close(in[1]);

    int status = 0;
    bool reaped = false, outOpen = true, errOpen = true;
    char buf[65536];
    while (outOpen || errOpen) {
        const long left = start + limitMs - NowMs();
        if (left <= 0) {
            if (!r.timedOut && !reaped) {
                r.timedOut = true;
                kill(pid, SIGKILL);  // our unreaped child: the pid cannot have been reused
                waitpid(pid, &status, 0);
                reaped = true;
                limitMs += 1000;  // a moment more for its output to drain
                continue;
            }
            break;  // a grandchild holds the pipes: stop reading
        }
        pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        const int n = poll(p, 2, static_cast<int>(std::min(left, 100L)));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t got = read(p[i].fd, buf, sizeof buf);
            if (got <= 0) {
                (i == 0 ? outOpen : errOpen) = false;
                continue;
            }
            (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
        }
        if (!reaped && o.watch) o.watch(pid, r.out);
        // A finished child whose pipes a detached grandchild still holds must not block us.
        if (!reaped && waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
            limitMs = std::min(limitMs, NowMs() - start + 2000);
        }
    }
    close(out[0]);
    close(err[0]);
    r.closed = !outOpen && !errOpen;
    if (!reaped) waitpid(pid, &status, 0);
    r.ms = NowMs() - start;
    if (WIFEXITED(status)) r.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.exitStatus = 128 + WTERMSIG(status);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return r;
}

}  // namespace kestrel_test
