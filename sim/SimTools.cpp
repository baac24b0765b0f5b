// The SAP command-line tools: startsap, stopsap, sapsrvkill, sapinfo, ensmon, jcmon.
//
// Each one reads the instance's control file when it starts, then: waits delay_ms, does its work (unless
// act = false), prints its answer, writes output_bytes of filler, and exits with its own code or exit_code.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "Sim.h"

namespace sapsim {

namespace {

constexpr long kStopGraceMs = 2000;
constexpr long kKillGraceMs = 500;
const std::string kJcmonDialogue = "20\n0\n0";

[[noreturn]] void Usage(const std::string& tool, const std::string& why, const std::string& usage) {
    throw Failure{1, why + "\nusage: " + tool + " " + usage};
}

// key=value arguments with exactly the given keys, each once.
std::map<std::string, std::string> KeyValues(const std::string& tool, const std::vector<std::string>& args,
                                             const std::vector<std::string>& keys, const std::string& usage) {
    std::map<std::string, std::string> kv;
    for (const std::string& a : args) {
        size_t eq = a.find('=');
        std::string k = eq == std::string::npos ? a : a.substr(0, eq);
        if (eq == std::string::npos || std::find(keys.begin(), keys.end(), k) == keys.end())
            Usage(tool, "unexpected argument '" + a + "'", usage);
        if (kv.count(k) != 0) Usage(tool, "argument '" + k + "' given twice", usage);
        kv[k] = a.substr(eq + 1);
    }
    for (const std::string& k : keys)
        if (kv.count(k) == 0 || kv[k].empty()) Usage(tool, "missing argument '" + k + "=...'", usage);
    return kv;
}

bool IsSid(const std::string& s) {
    return s.size() == 3 && std::isupper(static_cast<unsigned char>(s[0])) &&
           std::all_of(s.begin(), s.end(), [](char c) {
               return std::isupper(static_cast<unsigned char>(c)) ||
                      std::isdigit(static_cast<unsigned char>(c));
           });
}

bool IsNr(const std::string& s) {
    return s.size() == 2 && std::isdigit(static_cast<unsigned char>(s[0])) &&
           std::isdigit(static_cast<unsigned char>(s[1]));
}

// The instance with this number (and host, when given) under the root; the SID's own first.
std::optional<Instance> Find(const std::string& root, const std::string& sid, const std::string& nr,
                             const std::string& host) {
    for (const Instance& i : FindInstances(root, sid))
        if (i.Nr() == nr && (host.empty() || IEquals(i.host, host))) return i;
    return std::nullopt;
}

std::string KernelSid() {
    return Basename(Dirname(Dirname(Dirname(Dirname(SelfExe())))));
}

struct Answer {
    int code = 0;
    std::string text;
};

int Finish(const ToolControl& tc, const Answer& a) {
    WriteAll(1, a.text);
    FloodOutput(tc.outputBytes);
    return tc.exitCode.value_or(a.code);
}

// ---------------------------------------------------------------------------------------------- start, stop

const char* kStartUsage = "name=<SID> nr=<NN> sapdiahost=<host>";

Instance StartStopInstance(const std::string& tool, const std::vector<std::string>& args) {
    auto kv = KeyValues(tool, args, {"name", "nr", "sapdiahost"}, kStartUsage);
    if (!IsSid(kv["name"])) Usage(tool, "'" + kv["name"] + "' is not a system ID", kStartUsage);
    if (!IsNr(kv["nr"])) Usage(tool, "'" + kv["nr"] + "' is not an instance number", kStartUsage);
    std::optional<Instance> inst = Find(RootOfKernelProgram(), kv["name"], kv["nr"], kv["sapdiahost"]);
    if (!inst)
        throw Failure{1, "no profile for system " + kv["name"] + ", instance number " + kv["nr"] +
                             " on host " + kv["sapdiahost"]};
    return *inst;
}

int StartSap(const std::vector<std::string>& args) {
    Instance inst = StartStopInstance("startsap.exe", args);
    Control c = LoadControl(inst);
    ToolControl tc = c.Tool("startsap");
    SleepMs(tc.delayMs);
    Answer a;
    a.text = "Starting SAP instance " + inst.name + " of " + inst.sid + " on " + inst.host + "\n";
    if (tc.act) {
        AppendLog(inst, "startsap: starting " + inst.name);
        std::vector<ProcInfo> running = InstanceProcesses(inst);
        for (const std::string& image : inst.Images()) {
            if (!c.ShouldStart(image, false)) continue;
            bool up = std::any_of(running.begin(), running.end(),
                                  [&](const ProcInfo& p) { return ImageOf(inst, p) == image; });
            if (up) {
                a.text += "  " + inst.FileName(image) + " is already running\n";
                continue;
            }
            const std::string path =
                (c.fromSys ? inst.KernelDir() : inst.ExeDir()) + "/" + inst.FileName(image);
            pid_t pid = SpawnDetached(path, {path, "pf=" + inst.Profile()}, inst.WorkDir(),
                                      inst.WorkDir() + "/sapsim.log");
            a.text += "  started " + inst.FileName(image) + " (pid " + std::to_string(pid) + ")\n";
        }
    }
    a.text += "startsap completed\n";
    return Finish(tc, a);
}

// Ends the instance's processes; a second pass catches children that were being started meanwhile.
int StopProcesses(const Instance& inst, long graceMs, Answer& a) {
    int left = 0;
    for (int pass = 0; pass < 3; ++pass) {
        std::vector<ProcInfo> procs = InstanceProcesses(inst);
        if (procs.empty()) break;
        for (const ProcInfo& p : procs)
            a.text += "  stopping " + Basename(p.exe) + " (pid " + std::to_string(p.pid) + ")\n";
        left = TerminateAll(procs, graceMs);
    }
    if (left > 0) {
        a.text += "  " + std::to_string(left) + " process(es) could not be stopped\n";
        return 1;
    }
    return 0;
}

int StopSap(const std::vector<std::string>& args) {
    Instance inst = StartStopInstance("stopsap.exe", args);
    ToolControl tc = LoadControl(inst).Tool("stopsap");
    SleepMs(tc.delayMs);
    Answer a;
    a.text = "Stopping SAP instance " + inst.name + " of " + inst.sid + " on " + inst.host + "\n";
    if (tc.act) {
        AppendLog(inst, "stopsap: stopping " + inst.name);
        a.code = StopProcesses(inst, tc.graceMs >= 0 ? tc.graceMs : kStopGraceMs, a);
    }
    a.text += "stopsap completed\n";
    return Finish(tc, a);
}

int SapSrvKill(const std::vector<std::string>& args) {
    const char* usage = "<host>_<SID>_<NN>";
    if (args.size() != 1) Usage("sapsrvkill.exe", "expected one argument", usage);
    const std::string& arg = args[0];
    size_t b = arg.rfind('_');
    size_t a = b == std::string::npos || b == 0 ? std::string::npos : arg.rfind('_', b - 1);
    if (a == std::string::npos || a == 0)
        Usage("sapsrvkill.exe", "'" + arg + "' is not <host>_<SID>_<NN>", usage);
    std::string host = arg.substr(0, a), sid = arg.substr(a + 1, b - a - 1), nr = arg.substr(b + 1);
    if (!IsSid(sid) || !IsNr(nr)) Usage("sapsrvkill.exe", "'" + arg + "' is not <host>_<SID>_<NN>", usage);
    std::optional<Instance> inst = Find(RootOfKernelProgram(), sid, nr, host);
    if (!inst) throw Failure{1, "no instance " + sid + " " + nr + " on host " + host};
    ToolControl tc = LoadControl(*inst).Tool("sapsrvkill");
    SleepMs(tc.delayMs);
    Answer ans;
    ans.text = "Killing SAP instance " + inst->name + " of " + sid + "\n";
    if (tc.act) {
        AppendLog(*inst, "sapsrvkill: killing " + inst->name);
        ans.code = StopProcesses(*inst, tc.graceMs >= 0 ? tc.graceMs : kKillGraceMs, ans);
    }
    return Finish(tc, ans);
}

// ---------------------------------------------------------------------------------------------- monitors

int SapInfo(const std::vector<std::string>& args) {
    auto kv = KeyValues("sapinfo.exe", args, {"ashost", "sysnr"}, "ashost=<host> sysnr=<NN>");
    if (!IsNr(kv["sysnr"]))
        Usage("sapinfo.exe", "'" + kv["sysnr"] + "' is not a system number", "ashost=<host> sysnr=<NN>");
    const std::string root = RootOfKernelProgram();
    std::optional<Instance> inst = Find(root, KernelSid(), kv["sysnr"], kv["ashost"]);
    if (!inst) inst = Find(root, "", kv["sysnr"], kv["ashost"]);
    if (!inst) {
        std::cout << "RFC connection to " << kv["ashost"] << " system number " << kv["sysnr"]
                  << " failed: partner not reached\n";
        return 2;
    }
    ToolControl tc = LoadControl(*inst).Tool("sapinfo");
    SleepMs(tc.delayMs);
    Answer a;
    if (ImageRuns(*inst, "disp+work.exe")) {
        a.text = "SAP system information\n  System ID      " + inst->sid + "\n  Instance       " +
                 inst->name + "\n  Host           " + inst->host + "\n  System number  " + inst->Nr() + "\n";
    } else {
        a.code = 2;
        a.text = "RFC connection to " + kv["ashost"] + " system number " + kv["sysnr"] +
                 " failed: partner not reached\n";
    }
    return Finish(tc, a);
}

Instance ProfileArg(const std::string& tool, const std::string& arg, const std::string& usage) {
    if (arg.rfind("pf=", 0) != 0 || arg.size() == 3)
        Usage(tool, "expected pf=<profile>, got '" + arg + "'", usage);
    return LoadProfile(arg.substr(3));
}

int EnsMon(const std::vector<std::string>& args) {
    const char* usage = "pf=<profile> 2";
    if (args.size() != 2 || args[1] != "2")
        Usage("ensmon.exe", "expected a profile and the request 2", usage);
    Instance inst = ProfileArg("ensmon.exe", args[0], usage);
    Control c = LoadControl(inst);
    ToolControl tc = c.Tool("ensmon");
    SleepMs(tc.delayMs);
    Answer a;
    if (IsReplicationType(inst.type)) {
        bool up = ImageRuns(inst, "enrepserver.exe");
        a.code = up ? 0 : 8;
        a.text = up ? "Replication server is running\n" : "Replication server not reachable\n";
        return Finish(tc, a);
    }
    if (!ImageRuns(inst, "enserver.exe")) {
        a.code = 8;
        a.text = "Enqueue server not reachable\n";
        return Finish(tc, a);
    }
    a.text = "Enqueue server is running\n";
    if (c.replication.value_or(inst.replication)) {
        bool rep = false;
        for (const Instance& other : FindInstances(inst.root, inst.sid))
            if (IsReplicationType(other.type) && ImageRuns(other, "enrepserver.exe")) rep = true;
        if (rep) {
            a.text += "Replication is active\n";
        } else {
            a.code = 4;
            a.text += "Replication is enabled in server, but no repl. server is connected\n";
        }
    }
    return Finish(tc, a);
}

std::string ReadStdin() {
    std::string in;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || in.size() > 65536) break;
        in.append(buf, static_cast<size_t>(n));
    }
    return in;
}

std::string Visible(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20)
            out += "?";
        else
            out += c;
    }
    return out;
}

std::string JcmonListing(const Instance& inst, const Control& c) {
    std::vector<ProcInfo> procs = InstanceProcesses(inst);
    std::ostringstream os;
    os << "------------------------------------------------------------\n"
       << " Idx  Name          PID      State      Error  Restarts\n"
       << "------------------------------------------------------------\n";
    int idx = 0;
    for (const std::string& node : c.Nodes()) {
        const ProcInfo* p = nullptr;
        for (const ProcInfo& q : procs)
            if (ImageOf(inst, q) == "jlaunch.exe" && NodeOf(q) == node) p = &q;
        std::string state = "Stopped";
        if (p != nullptr) {
            long ready = c.Process(node).readyAfterMs;
            state = node != "dispatcher" && ready > 0 && AgeMs(p->pid) < ready ? "Starting" : "Running";
        }
        char line[160];
        std::snprintf(line, sizeof line, " %3d  %-12s  %-7s  %-9s  %5d  %8d\n", idx++, node.c_str(),
                      p != nullptr ? std::to_string(p->pid).c_str() : "-", state.c_str(), 0, 0);
        os << line;
    }
    os << "------------------------------------------------------------\n";
    return os.str();
}

int JcMon(const std::vector<std::string>& args) {
    const char* usage = "pf=<profile>   (menu choices on standard input)";
    if (args.size() != 1) Usage("jcmon.exe", "expected one argument", usage);
    // The dialogue comes first: jcmon reads its menu choices until the end of its input.
    std::string input = ReadStdin();
    if (input != kJcmonDialogue)
        throw Failure{2, "unexpected menu input \"" + Visible(input) +
                             "\" (expected \"20\\n0\\n0\" and the end of input)"};
    Instance inst = ProfileArg("jcmon.exe", args[0], usage);
    Control c = LoadControl(inst);
    ToolControl tc = c.Tool("jcmon");
    SleepMs(tc.delayMs);
    Answer a;
    if (c.jcmonLines) {
        for (const std::string& l : *c.jcmonLines) a.text += l + "\n";
        return Finish(tc, a);
    }
    if (inst.arch != Arch::Java && inst.arch != Arch::AddIn) {
        a.code = 1;
        a.text = "Instance " + inst.name + " has no Java stack\n";
        return Finish(tc, a);
    }
    // Only upper-case names go into the header: a host name could hold the words a reader scans for.
    const std::string title =
        "============================================================\n"
        "JControl Monitor Program - Administration Menu  (Local)\n"
        "System : " +
        inst.sid + "   Instance : " + inst.name +
        "\n"
        "============================================================\n";
    const std::string menu = "  0 : exit\n 20 : Local Administration Menu\n\n  command => ";
    a.text =
        title + menu + "20\n\n" + JcmonListing(inst, c) + "\n  0 : exit\n\n  command => 0\n" + menu + "0\n";
    return Finish(tc, a);
}

}  // namespace

int RunTool(const std::string& tool, const std::vector<std::string>& args) {
    if (tool == "startsap.exe") return StartSap(args);
    if (tool == "stopsap.exe") return StopSap(args);
    if (tool == "sapsrvkill.exe") return SapSrvKill(args);
    if (tool == "sapinfo.exe") return SapInfo(args);
    if (tool == "ensmon.exe") return EnsMon(args);
    if (tool == "jcmon.exe") return JcMon(args);
    throw Failure{1, "unknown tool " + tool};
}

}  // namespace sapsim
