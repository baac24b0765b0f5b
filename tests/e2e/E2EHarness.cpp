#include "E2EHarness.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace kestrel_e2e {
namespace {

using kestrel_test::NowMs;

void ReapOrphans() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
}

// The lines a run appended to a file of size bytes.
std::vector<std::string> LinesFrom(const std::string& path, size_t size) {
    const std::string text = ReadFile(path);
    return kestrel_test::Lines(size < text.size() ? text.substr(size) : "");
}

std::string Unquote(const std::string& v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
    return v;
}

// A time stamp "DD-Mon-YYYY hh:mm:ss" within two minutes of the current UTC time.
bool IsUtcStampOfNow(const std::string& date) {
    tm t{};
    const char* end = strptime(date.c_str(), "%d-%b-%Y %H:%M:%S", &t);
    return date.size() == 20 && isdigit(date[0]) && isdigit(date[12]) && end == date.c_str() + 20 &&
           std::labs(static_cast<long>(timegm(&t) - time(nullptr))) <= 120;
}

std::atomic<int> g_rootCounter{0};
std::atomic<int> g_sidCounter{0};

}  // namespace

// --- E2EResult ---

std::string E2EResult::State() const {
    return json.is_object() && json.contains("state") && json["state"].is_string() ? json["state"] : "";
}

std::vector<Json> E2EResult::Messages(const std::string& entryPoint) const {
    std::vector<Json> out;
    if (!json.is_object()) return out;
    if (entryPoint == "startup") return json.value("startup_messages", std::vector<Json>{});
    for (const Json& call : json.value("calls", Json::array()))
        if (entryPoint.empty() || call.value("entry_point", "") == entryPoint)
            for (const Json& m : call.value("messages", Json::array())) out.push_back(m);
    return out;
}

Json E2EResult::Find(int id, const std::string& entryPoint) const {
    for (const Json& m : Messages(entryPoint))
        if (m.value("id", -1) == id) return m;
    return Json::object();
}

std::vector<int> E2EResult::Ids(const std::string& entryPoint) const {
    std::vector<int> ids;
    for (const Json& m : Messages(entryPoint))
        if (m.value("id", -1) != 20000) ids.push_back(m.value("id", -1));
    return ids;
}

long long E2EResult::Result(const std::string& entryPoint) const {
    long long r = -1;
    for (const Json& call : json.is_object() ? json.value("calls", Json::array()) : Json::array())
        if (call.value("entry_point", "") == entryPoint) r = call.value("result", -1LL);
    return r;
}

size_t E2EResult::DebugCount(const std::string& text) const {
    return static_cast<size_t>(std::count_if(debugLog.begin(), debugLog.end(),
                                             [&](const std::string& l) { return Contains(l, text); }));
}

bool E2EResult::AgentLogHas(const std::string& text) const {
    return std::any_of(agentLog.begin(), agentLog.end(),
                       [&](const std::string& l) { return Contains(l, text); });
}

std::string E2EResult::Describe() const {
    std::ostringstream s;
    s << "exit " << exitStatus << (timedOut ? " (killed at the limit)" : "") << "\nstdout: " << out
      << "\nstderr: " << err << "\nagent log:\n";
    for (const std::string& l : agentLog) s << "  " << l << "\n";
    s << "debug log (" << debugLog.size() << " lines, last 40):\n";
    for (size_t i = debugLog.size() > 40 ? debugLog.size() - 40 : 0; i < debugLog.size(); ++i)
        s << "  " << debugLog[i] << "\n";
    return s.str();
}

size_t TraceCount(const E2EResult& r, const std::string& function, const std::string& text) {
    return static_cast<size_t>(std::count_if(r.debugLog.begin(), r.debugLog.end(), [&](const std::string& l) {
        return Contains(l, " " + function + " ") && Contains(l, text);
    }));
}

void ExpectRun(const E2EResult& r, int exitStatus, const std::string& state) {
    EXPECT_EQ(r.exitStatus, exitStatus) << r.Describe();
    EXPECT_EQ(r.State(), state) << r.Describe();
}

void ExpectMessage(const E2EResult& r, int id, int severity, const std::string& text) {
    EXPECT_EQ(r.Severity(id), severity) << "message " << id << "\n" << r.Describe();
    if (!text.empty()) {
        EXPECT_EQ(r.MessageText(id), text) << "message " << id;
    }
}

void ExpectMessages(const E2EResult& r, const std::string& entryPoint, const std::vector<Msg>& msgs) {
    std::vector<int> ids;
    for (const Msg& m : msgs) ids.push_back(m.id);
    EXPECT_EQ(r.Ids(entryPoint), ids) << entryPoint << "\n" << r.Describe();
    for (const Msg& m : msgs) ExpectMessage(r, m.id, m.severity, m.text);
}

std::string Instance::SapLogPath() const {
    return instDir + "/log/" + sid + "_" + name + "_logfile.log";
}

std::string TomlString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string TomlList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + TomlString(items[i]);
    return out + "]";
}

// --- fixture ---

void E2ETest::SetUpTestSuite() {
    // Instance and service processes detach from the tools that start them: as our children TearDown reaps
    // them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void E2ETest::SetUp() {
    if (!kestrel_test::IsRoot())
        GTEST_SKIP() << "end-to-end tests need root (they run the SAP tools as test accounts)";
    // A root name without letters after the fixed prefix: no test's SID can occur in another test's paths.
    for (int i = 0; i < 100 && root_.empty(); ++i) {
        std::string candidate =
            "/tmp/kestrel-e2e-" + std::to_string(getpid()) + "-" + std::to_string(g_rootCounter++);
        if (mkdir(candidate.c_str(), 0755) == 0) root_ = candidate;
    }
    ASSERT_FALSE(root_.empty()) << "cannot create a temporary root: " << strerror(errno);
    chmod(root_.c_str(), 0755);  // the test accounts must reach the tree
    logDir_ = root_ + "/log";
    stateDir_ = root_ + "/state";
    configPath_ = root_ + "/cluster.toml";
    fs::create_directories(stateDir_ + "/services");
    fs::create_directories(logDir_);
    // The PAM wrapper's per-process folders: in the root no other test uses up their slots, and what a
    // killed process leaves goes with the root.
    fs::create_directories(root_ + "/pam");
    chmod((root_ + "/pam").c_str(), 01777);

    std::string error;
    identity_ = kestrel_test::TestIdentity::Create({kAdminAccount, kOtherAccount}, &error);
    ASSERT_TRUE(identity_) << "test identity: " << error;

    typeAttrs_ = {{"OnlineTimeout", "10000"},
                  {"OfflineTimeout", "10000"},
                  {"MonitorTimeout", "5015"},  // 5000 s of budget after EPProgramTimeout 15: 5 s real at 1000
                  {"CleanTimeout", "10000"},
                  {"debug_tags", "[19]"}};
    WriteConfig();

    ProcResult enc = RunCairn({"encrypt-password"}, kAdminAccount.password + "\n");
    ASSERT_EQ(enc.exitStatus, 0) << enc.err;
    encodedPassword_ = enc.out.substr(0, enc.out.find_last_not_of("\r\n") + 1);
    ASSERT_FALSE(encodedPassword_.empty());
}

void E2ETest::TearDown() {
    if (root_.empty()) return;
    for (const auto& in : instances_) RunCairn({"svc", "stop", in->service});
    KillEverything();
    identity_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
    root_.clear();
}

void E2ETest::KillEverything() {
    for (int round = 0; round < 500; ++round) {
        std::vector<Proc> left = ProcessesUnderRoot();
        for (const Proc& p : left) {
            int fd = static_cast<int>(syscall(SYS_pidfd_open, p.pid, 0));
            if (fd >= 0) {
                syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
                close(fd);
            }
        }
        ReapOrphans();
        if (left.empty()) break;
        usleep(10000);
    }
    ReapOrphans();
}

std::string E2ETest::Sid(int index) {
    while (static_cast<int>(sids_.size()) <= index) {
        // A first letter that never precedes a digit in the tree's paths (instance names end in ...S00,
        // ...C01, D02; "E2E"/"J2EE" have E and J): so the SID occurs in no path but its own instances'.
        static const char kFirst[] = "QWXYZVKU";
        static const char kRest[] = "0123456789ABFHKLMNPRTUVWXYZ";
        const unsigned v =
            static_cast<unsigned>(getpid()) * 131u + static_cast<unsigned>(g_sidCounter++) * 7919u;
        const std::string sid{kFirst[v % 8], "0123456789"[v / 8 % 10], kRest[v / 80 % (sizeof kRest - 1)]};
        if (std::find(sids_.begin(), sids_.end(), sid) == sids_.end()) sids_.push_back(sid);
    }
    return sids_[static_cast<size_t>(index)];
}

Instance& E2ETest::Install(const InstallOptions& o) {
    auto in = std::make_unique<Instance>();
    in->sid = o.sid.empty() ? Sid() : o.sid;
    in->name = o.instance;
    in->nr = o.instance.size() >= 2 ? o.instance.substr(o.instance.size() - 2) : "";
    in->host = Host();
    in->service = "SAP" + in->sid + "_" + in->nr;
    std::vector<std::string> args{"install",          "--root",   root_,    "--sid",      in->sid,
                                  "--instance",       o.instance, "--type", o.type,       "--admin",
                                  kAdminAccount.name, "--host",   Host(),   "--password", encodedPassword_};
    if (!o.arch.empty()) args.insert(args.end(), {"--arch", o.arch});
    if (!o.enqsrvRes.empty()) args.insert(args.end(), {"--enqsrv-res", o.enqsrvRes});
    if (o.linuxNames) args.push_back("--linux-names");
    ProcResult r = RunSapsim(args);
    if (r.exitStatus != 0)
        ADD_FAILURE() << "sapsim install failed (" << r.exitStatus << "): " << r.err << r.out;
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) {
        if (l.rfind("[resources.", 0) == 0) {
            in->resource = l.substr(11, l.size() - 12);
            continue;
        }
        size_t eq = l.find(" = ");
        if (eq == std::string::npos || l[0] == '#') continue;
        std::string key = l.substr(0, eq), value = l.substr(eq + 3);
        in->attributes.emplace_back(key, value);
        if (key == "SAPHome") in->kernelDir = Unquote(value);
        if (key == "InstProfile") in->profile = Unquote(value);
    }
    in->instDir = root_ + "/usr/sap/" + in->sid + "/" + in->name;
    if (in->kernelDir.empty()) in->kernelDir = root_ + "/usr/sap/" + in->sid + "/SYS/exe/run";
    instances_.push_back(std::move(in));
    return *instances_.back();
}

void E2ETest::UseControlTimings() {
    timeScale_ = 50;
    Upsert(typeAttrs_, "OnlineTimeout", "600");
    Upsert(typeAttrs_, "OfflineTimeout", "600");
    Upsert(typeAttrs_, "MonitorTimeout", "315");
    Upsert(typeAttrs_, "CleanTimeout",
           "65");  // 50 s: Clean's wait after a shutdown that ended nothing checks twice
}

void E2ETest::UseTypeDefinitionWith(const std::string& toml) {
    const fs::path built = fs::path(KESTREL_E2E_CAIRNAGENT).parent_path().parent_path() / "lib";
    std::string definition = ReadFile((built / "Kestrel.type.toml").string());
    const std::string library = "library = \"libKestrel.so\"";
    const size_t at = definition.find(library);
    if (at == std::string::npos) {
        ADD_FAILURE() << "the built type definition names no libKestrel.so";
        return;
    }
    definition.replace(at, library.size(), "library = " + TomlString((built / "libKestrel.so").string()));
    fs::create_directories(root_ + "/agent");
    if (!WriteFile(root_ + "/agent/Kestrel.type.toml", definition + "\n" + toml))
        ADD_FAILURE() << "cannot write the type definition";
    Upsert(typeAttrs_, "agent_dir", TomlString(root_ + "/agent"));
}

void E2ETest::Upsert(Attributes& attributes, const std::string& key, const std::string& tomlValue) {
    auto at =
        std::find_if(attributes.begin(), attributes.end(), [&](const auto& kv) { return kv.first == key; });
    if (at == attributes.end())
        attributes.emplace_back(key, tomlValue);
    else
        at->second = tomlValue;
}

void E2ETest::WriteControl(const Instance& instance, const std::string& toml) {
    const std::string path = instance.instDir + "/sapsim.toml";
    if (toml.empty())
        unlink(path.c_str());
    else if (!WriteFile(path, toml))
        ADD_FAILURE() << "cannot write " << path;
}

void E2ETest::WriteConfig() {
    std::ostringstream s;
    s << "[cluster]\nstate_dir = " << TomlString(stateDir_) << "\nlog_dir = " << TomlString(logDir_) << "\n";
    for (const auto& kv : clusterSettings_) s << kv.first << " = " << kv.second << "\n";
    s << "\n";
    s << "[types.Kestrel]\n";
    for (const auto& kv : typeAttrs_) s << kv.first << " = " << kv.second << "\n";
    for (const auto& in : instances_) {
        s << "\n[resources." << in->resource << "]\n";
        for (const auto& kv : in->attributes) s << kv.first << " = " << kv.second << "\n";
    }
    if (!WriteFile(configPath_, s.str())) ADD_FAILURE() << "cannot write " << configPath_;
}

std::vector<std::string> E2ETest::ChildEnvironment(const std::vector<std::string>& extraEnv, bool pam) const {
    std::vector<std::string> own;
    if (identity_) {
        for (const std::string& e : identity_->Environment())
            if (pam || e.rfind("PAM_WRAPPER=", 0) != 0) own.push_back(e);
    }
    own.push_back("CAIRN_SERVICE_ROOT=" + stateDir_ + "/services");
    if (pam) own.push_back("PAM_WRAPPER_RUNTIME_DIR=" + root_ + "/pam");
    own.push_back("KESTREL_TIME_SCALE=" + std::to_string(timeScale_));
    own.insert(own.end(), extraEnv.begin(), extraEnv.end());
    // Never inherited: a configuration or fault injection of the caller would steer the agent.
    return kestrel_test::EnvironmentWith(
        own, {"CAIRN_CONFIG", "CAIRN_FAULT_OPEN_FAILS", "CAIRN_FAULT_ATTR_READ", "CAIRN_FAULT_REGISTER"});
}

ProcResult E2ETest::Exec(const std::string& program, const std::vector<std::string>& args,
                         const std::string& input, const std::vector<std::string>& extraEnv, uid_t uid,
                         gid_t gid, long limitMs, bool pam) {
    return kestrel_test::RunProcess({.program = program,
                                     .args = args,
                                     .input = input,
                                     .env = ChildEnvironment(extraEnv, pam),
                                     .uid = uid,
                                     .gid = gid,
                                     .cwd = root_.empty() ? "/" : root_,
                                     .limitMs = limitMs});
}

ProcResult E2ETest::RunCairn(const std::vector<std::string>& args, const std::string& input,
                             const std::vector<std::string>& extraEnv) {
    std::vector<std::string> all{"--config", configPath_};
    all.insert(all.end(), args.begin(), args.end());
    return Exec(KESTREL_E2E_CAIRNAGENT, all, input, extraEnv);
}

E2EResult E2ETest::Run(const std::string& command, const std::string& resource, bool json,
                       const std::vector<std::string>& extraEnv) {
    WriteConfig();
    const std::string agentLog = logDir_ + "/Kestrel.log";
    const std::string debugLog = logDir_ + "/resources/" + resource + ".log";
    const size_t agentAt = ReadFile(agentLog).size(), debugAt = ReadFile(debugLog).size();
    std::vector<std::string> all{"--config", configPath_};
    if (json) all.push_back("--json");
    all.insert(all.end(), {command, resource});
    E2EResult r;
    static_cast<ProcResult&>(r) = Exec(KESTREL_E2E_CAIRNAGENT, all, "", extraEnv, static_cast<uid_t>(-1),
                                       static_cast<gid_t>(-1), 60000, true);
    if (json) r.json = Json::parse(r.out, nullptr, false);
    if (r.json.is_discarded()) r.json = nullptr;
    r.agentLog = LinesFrom(agentLog, agentAt);
    r.debugLog = LinesFrom(debugLog, debugAt);
    return r;
}

ProcResult E2ETest::RunSapsim(const std::vector<std::string>& args) {
    return Exec(KESTREL_E2E_SAPSIM, args);
}

bool E2ETest::StartService(const Instance& instance) {
    ProcResult r = RunCairn({"svc", "start", instance.service});
    if (r.exitStatus != 0) ADD_FAILURE() << "svc start " << instance.service << ": " << r.err << r.out;
    return r.exitStatus == 0;
}

// Stop returns while the service may still be stop pending: waits until it is stopped.
bool E2ETest::StopService(const Instance& instance) {
    ProcResult r = RunCairn({"svc", "stop", instance.service});
    if (r.exitStatus != 0) ADD_FAILURE() << "svc stop " << instance.service << ": " << r.err << r.out;
    return WaitFor([&] { return ServiceState(instance) == "STOPPED"; }) && r.exitStatus == 0;
}

bool E2ETest::SapTool(const Instance& in, const std::string& tool, const kestrel_test::TestAccount& as) {
    ProcResult r = Exec(in.kernelDir + "/" + tool, {"name=" + in.sid, "nr=" + in.nr, "sapdiahost=" + in.host},
                        "", {}, as.uid, as.gid);
    if (r.exitStatus != 0) ADD_FAILURE() << tool << ": " << r.exitStatus << " " << r.out << r.err;
    ReapOrphans();
    return r.exitStatus == 0;
}

std::vector<E2ETest::Proc> E2ETest::ProcessesUnderRoot() const {
    std::vector<Proc> out;
    if (root_.empty()) return out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        char buf[4096];
        ssize_t n = readlink(("/proc/" + name + "/exe").c_str(), buf, sizeof buf - 1);
        if (n <= 0) continue;
        std::string exe(buf, static_cast<size_t>(n));
        if (exe.rfind(root_ + "/", 0) != 0) continue;
        struct stat st {};
        if (stat(("/proc/" + name).c_str(), &st) != 0) continue;
        std::string cmd = ReadFile("/proc/" + name + "/cmdline");
        std::replace(cmd.begin(), cmd.end(), '\0', ' ');
        out.push_back({std::stoi(name), exe, st.st_uid, cmd});
    }
    return out;
}

std::string E2ETest::ServiceState(const Instance& in) {
    const std::string out = RunCairn({"svc", "query", in.service}).out;
    for (const char* s : {"STOP_PENDING", "START_PENDING", "RUNNING", "STOPPED"})
        if (Contains(out, std::string(": ") + s)) return s;
    return out;
}

bool E2ETest::Alive(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

void E2ETest::WaitForImage(const Instance& in, const std::string& image, size_t count) {
    const bool ok = WaitFor([&] {
        size_t n = 0;
        for (const Proc& p : ProcessesUnderRoot())
            if (Contains(p.exe, "/" + in.sid + "/") && p.exe.size() >= image.size() &&
                p.exe.compare(p.exe.size() - image.size(), image.size(), image) == 0)
                ++n;
        return n >= count;
    });
    EXPECT_TRUE(ok) << count << " x " << image << " of " << in.sid << " did not appear";
}

bool E2ETest::WaitFor(const std::function<bool()>& pred, long limitMs) {
    const long end = NowMs() + limitMs;
    for (;;) {
        if (pred()) return true;
        if (NowMs() >= end) return pred();
        ReapOrphans();
        usleep(10000);
    }
}

size_t E2ETest::SimLogCount(const Instance& instance, const std::string& text) const {
    const std::vector<std::string> lines =
        kestrel_test::Lines(ReadFile(instance.instDir + "/work/sapsim.log"));
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return Contains(l, text); }));
}

std::vector<std::string> E2ETest::Actions(const Instance& in) {
    std::vector<std::string> out;
    const std::string text = ReadFile(in.SapLogPath()), separator(43, '=');
    if (text.empty()) return out;
    EXPECT_EQ(text.back(), '\n') << text;
    const std::vector<std::string> lines = kestrel_test::Lines(text);
    EXPECT_EQ(lines.size() % 6, 0u) << text;
    for (size_t i = 0; i + 6 <= lines.size(); i += 6) {
        EXPECT_EQ(lines[i], separator) << text;
        EXPECT_EQ(lines[i + 1], "SAPSID: " + in.sid) << text;
        EXPECT_EQ(lines[i + 2], "Instance Name: " + in.name) << text;
        EXPECT_EQ(lines[i + 3].rfind("Date: ", 0), 0u) << text;
        EXPECT_TRUE(IsUtcStampOfNow(lines[i + 3].substr(std::min<size_t>(6, lines[i + 3].size()))))
            << "not the UTC time of now: " << lines[i + 3];
        EXPECT_EQ(lines[i + 5], separator) << text;
        out.push_back(lines[i + 4]);
    }
    return out;
}

}  // namespace kestrel_e2e
