// sapsim: a simulated SAP system for tests and demonstrations.
//
// One multi-call executable. Its behaviour is chosen by the name it was started under: the SAP tools
// (startsap.exe, stopsap.exe, sapinfo.exe, ensmon.exe, jcmon.exe, sapsrvkill.exe), the instance process
// images (disp+work.exe, jcontrol.exe, ...), or "sapsim" with a sub-command (install, service, status).
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sapsim {

// Owns one file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd_(o.Release()) {}
    Fd& operator=(Fd&& o) noexcept;
    ~Fd() { Reset(); }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Raised for errors that end a command with a message; `code` is its exit status.
struct Failure {
    int code;
    std::string message;
};

enum class Arch { None, Abap, Java, AddIn };

// The instance process images the agent knows.
inline const std::vector<std::string> kImages = {"disp+work.exe",  "jcontrol.exe", "jlaunch.exe",
                                                 "igswd.exe",      "gwrd.exe",     "icman.exe",
                                                 "msg_server.exe", "enserver.exe", "enrepserver.exe"};
inline const std::vector<std::string> kTools = {"startsap.exe", "stopsap.exe", "sapinfo.exe",
                                                "ensmon.exe",   "jcmon.exe",   "sapsrvkill.exe"};
inline const std::vector<std::string> kTypes = {"central",  "dialog",  "enqueue",  "enqrep",
                                                "aenqueue", "aenqrep", "jenqueue", "jenqrep"};

// SAP's Linux kernel names its programs without the suffix, and some images differently (igswd_mt,
// enq_server, enq_replicator). The simulation works with the names above throughout; an instance installed
// with Linux names has its files (and so its processes) under the Linux names.
std::string LinuxName(const std::string& name);
// The name above for a program file name in either naming ("enserver" and "enq_server" both give
// "enserver.exe"); any other name is returned as it is.
std::string CanonicalName(const std::string& fileName);

bool IsEnqueueType(const std::string& type);      // enqueue, aenqueue, jenqueue
bool IsReplicationType(const std::string& type);  // enqrep, aenqrep, jenqrep
const char* ArchName(Arch a);
std::optional<Arch> ParseArch(const std::string& s);

// One installed instance, as recorded in its profile.
struct Instance {
    std::string root;  // canonical path of the tree's root (holds usr/sap)
    std::string sid;   // upper case, three characters
    std::string name;  // upper case, ends with the instance number
    std::string type;  // lower case, one of kTypes
    Arch arch = Arch::None;
    std::string host;
    bool replication = false;  // enqueue servers: replication configured in the profile
    bool linuxNames = false;   // installed with --linux-names

    // The file name of a program (a name above) in this instance's naming.
    std::string FileName(const std::string& name) const { return linuxNames ? LinuxName(name) : name; }

    std::string Nr() const { return name.substr(name.size() - 2); }
    std::string SidDir() const { return root + "/usr/sap/" + sid; }
    std::string Dir() const { return SidDir() + "/" + name; }
    std::string ExeDir() const { return Dir() + "/exe"; }
    std::string WorkDir() const { return Dir() + "/work"; }
    std::string KernelDir() const { return SidDir() + "/SYS/exe/run"; }
    std::string Profile() const { return SidDir() + "/SYS/profile/" + sid + "_" + name + "_" + host; }
    std::string ControlFile() const { return Dir() + "/sapsim.toml"; }
    std::string ServiceName() const { return "SAP" + sid + "_" + Nr(); }
    // The images that startsap starts, in start order (jlaunch.exe is started by jcontrol.exe).
    std::vector<std::string> Images() const;
};

// Reads an instance profile written by install. Throws Failure (exit 1) when it cannot be used.
Instance LoadProfile(const std::string& path);
// The instances installed for one SID under a root, or for every SID when sid is empty.
std::vector<Instance> FindInstances(const std::string& root, const std::string& sid);
// The root of the tree that holds the running program when it sits at <root>/usr/sap/<SID>/SYS/exe/run/.
std::string RootOfKernelProgram();

// Behaviour overrides from the instance's sapsim.toml (see docs/sapsim.md).
struct ToolControl {
    std::optional<int> exitCode;
    long delayMs = 0;
    long outputBytes = 0;
    bool act = true;
    long graceMs = -1;  // stopsap, sapsrvkill: wait between SIGTERM and SIGKILL (-1: the tool's default)
    bool ignoreTerm = false;  // service: only SIGKILL ends it, so a service stop never completes
};
struct ProcessControl {
    bool ignoreTerm = false;
    long exitAfterMs = -1;
    int exitCode = 0;
    long readyAfterMs = 0;  // jlaunch servers: reported "Starting" until then
};
struct Control {
    std::map<std::string, ToolControl> tools;            // by tool: startsap, stopsap, ..., service
    std::optional<std::vector<std::string>> startOnly;   // [startsap] processes
    bool fromSys = false;                                // [startsap] from_sys
    int servers = 1;                                     // [jcontrol] servers
    std::optional<std::vector<std::string>> jcmonLines;  // [jcmon] lines
    std::optional<bool> replication;                     // [ensmon] replication
    std::map<std::string, ProcessControl> processes;     // [process."<image or node>"]

    ToolControl Tool(const std::string& name) const;
    ProcessControl Process(const std::string& key) const;
    // The jlaunch nodes of a Java instance: "dispatcher", then "server0" ...
    std::vector<std::string> Nodes() const;
    bool ShouldStart(const std::string& imageOrNode, bool isNode) const;
};
// Reads the control file; an absent file gives the defaults. Throws Failure (exit 78) when it is malformed.
Control LoadControl(const Instance& inst);

// A running process seen in /proc.
struct ProcInfo {
    pid_t pid = 0;
    std::string exe;                // /proc/PID/exe, without a " (deleted)" suffix
    std::vector<std::string> args;  // /proc/PID/cmdline
};
std::vector<ProcInfo> ListProcesses(bool withArgs);
// The processes of an instance: an image under its exe/ directory, or an image under the kernel
// directory started with this instance's profile. `image` receives the image name.
std::vector<ProcInfo> InstanceProcesses(const Instance& inst);
std::string ImageOf(const Instance& inst, const ProcInfo& p);  // "" when p is not the instance's
bool ImageRuns(const Instance& inst, const std::string& image);
// The jlaunch node name of a process ("" when it has none).
std::string NodeOf(const ProcInfo& p);
// Milliseconds since the process started (from /proc/PID/stat), -1 when unknown.
long AgeMs(pid_t pid);

// Ends the given processes: SIGTERM, up to graceMs for them to go, then SIGKILL. Returns the number
// that are still there afterwards.
int TerminateAll(const std::vector<ProcInfo>& procs, long graceMs);

// Starts `path` detached (own session, reparented away, stdio on `logFile` or /dev/null, working
// directory `cwd`) and returns its pid once exec has succeeded. Throws Failure when it could not start.
pid_t SpawnDetached(const std::string& path, const std::vector<std::string>& args, const std::string& cwd,
                    const std::string& logFile);

// Helpers.
std::string Basename(const std::string& path);
std::string Dirname(const std::string& path);
std::string Upper(std::string s);
std::string Lower(std::string s);
bool IEquals(const std::string& a, const std::string& b);
std::string SelfExe();
void SleepMs(long ms);
// In a forked child before exec: the signals sapsim handles or ignores get their defaults back, then the
// mask is cleared. Async-signal-safe.
void ResetSignalsBeforeExec();
long NowMs();  // monotonic
void WriteAll(int fd, const std::string& s);
void FloodOutput(long bytes);  // filler lines on stdout
std::string TomlQuote(const std::string& s);
// The --root, --sid and --instance options of `sapsim service` and `sapsim status`, each with a value.
// Anything else throws Failure{code, usage}.
void ParseInstanceOptions(const std::vector<std::string>& args, std::string& root, std::string& sid,
                          std::string& name, int code, const std::string& usage);
void AppendLog(const Instance& inst, const std::string& line);  // work/sapsim.log, best effort

// Entry points of the roles.
int RunTool(const std::string& tool, const std::vector<std::string>& args);
int RunImage(const std::string& image, const std::vector<std::string>& args);
int RunInstall(const std::vector<std::string>& args);
int RunService(const std::vector<std::string>& args);
int RunStatus(const std::vector<std::string>& args);

}  // namespace sapsim
