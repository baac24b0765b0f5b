// What every test program shares: a temporary directory, small file helpers and one way to run a program
// (cairnagent, sapsim, a helper) to its end with its output and exit status.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrel_test {

// A fresh directory under the system's temporary folder (open to other accounts by mode), removed with
// everything in it when the object goes. Path() is empty when it could not be made.
class TempDir {
  public:
    explicit TempDir(unsigned mode = 0755);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::wstring WPath() const { return std::wstring(path_.begin(), path_.end()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Milliseconds of the monotonic clock.
long NowMs();
// This process's open descriptors, each as "N -> target", sorted.
std::vector<std::string> OpenDescriptors();

std::string ReadFile(const std::string& path);  // "" when unreadable
bool WriteFile(const std::string& path, const std::string& text, unsigned mode = 0644);
std::vector<std::string> Lines(const std::string& text);
inline bool Contains(const std::string& s, const std::string& what) {
    return s.find(what) != std::string::npos;
}

// What a child process did.
struct ProcResult {
    int exitStatus = -1;  // exit code; 128 + signal when killed; -1 when it could not be started
    std::string out;
    std::string err;
    bool timedOut = false;  // killed at its limit
    bool closed = false;    // both output pipes reached end of file: nothing was left holding them
    long ms = 0;            // real time from start to reaping
};

struct RunOptions {
    std::string program{};
    std::vector<std::string> args{};     // without argv[0]
    std::string input{};                 // written to standard input, which is then closed
    std::vector<std::string> env{};      // the whole environment ("NAME=value"); empty: the test's own
    uid_t uid = static_cast<uid_t>(-1);  // -1: as the test
    gid_t gid = static_cast<gid_t>(-1);
    std::string cwd{};     // empty: the test's own
    long limitMs = 60000;  // then SIGKILL
    // Called about every 100 ms with the child's pid (still unreaped) and its standard output so far.
    std::function<void(pid_t, const std::string&)> watch{};
};

// Runs the program to its end and reaps it (and every ended child of the test: tests that are subreapers
// adopt what the program detached). A grandchild that holds the pipes does not keep it waiting.
ProcResult RunProcess(const RunOptions& options);

// The test's environment without the named variables, with entries added (later entries win).
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& add,
                                         const std::vector<std::string>& dropNames = {});

}  // namespace kestrel_test
