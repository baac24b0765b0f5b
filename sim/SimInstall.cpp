// sapsim install and sapsim status.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "Sim.h"

namespace fs = std::filesystem;

namespace sapsim {

namespace {

const char* kInstallUsage =
    "usage: sapsim install --root DIR --sid SID --instance NAME --type TYPE [--arch abap|java|addin|none]\n"
    "                      [--admin USER] [--service-user USER] [--host HOST] [--resource NAME]\n"
    "                      [--password ENCODED] [--enqsrv-res NAME] [--domain DOMAIN] [--linux-names] "
    "[--force]";

struct Options {
    std::string root, sid, name, type, arch, admin, serviceUser, host, resource, password, enqSrvRes;
    std::string domain;  // empty: the host's short name in upper case (the domain of local accounts)
    bool force = false;
    bool linuxNames = false;
};

// Local accounts belong to the host: their domain is its short name in upper case.
std::string LocalDomain() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "";
    std::string name(buf);
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

Options ParseInstall(const std::vector<std::string>& args) {
    Options o;
    std::map<std::string, std::string*> valued = {{"--root", &o.root},
                                                  {"--sid", &o.sid},
                                                  {"--instance", &o.name},
                                                  {"--type", &o.type},
                                                  {"--arch", &o.arch},
                                                  {"--admin", &o.admin},
                                                  {"--service-user", &o.serviceUser},
                                                  {"--host", &o.host},
                                                  {"--resource", &o.resource},
                                                  {"--password", &o.password},
                                                  {"--enqsrv-res", &o.enqSrvRes},
                                                  {"--domain", &o.domain}};
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--force" || args[i] == "--linux-names") {
            (args[i] == "--force" ? o.force : o.linuxNames) = true;
            continue;
        }
        auto it = valued.find(args[i]);
        if (it == valued.end() || i + 1 >= args.size())
            throw Failure{2, "unexpected argument '" + args[i] + "'\n" + kInstallUsage};
        *it->second = args[++i];
    }
    if (o.root.empty() || o.sid.empty() || o.name.empty() || o.type.empty())
        throw Failure{2, std::string("--root, --sid, --instance and --type are required\n") + kInstallUsage};
    return o;
}

bool IsHostLabel(const std::string& h) {
    if (h.empty() || h.size() > 63 || h.front() == '-' || h.back() == '-') return false;
    bool allDigits =
        std::all_of(h.begin(), h.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    return !allDigits && std::all_of(h.begin(), h.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
    });
}

std::string ShortHostName() {
    char buf[256] = {};
    ::gethostname(buf, sizeof buf - 1);
    std::string h = buf;
    return h.substr(0, h.find('.'));
}

std::optional<passwd> Account(const std::string& name, std::string& storage) {
    passwd pw{};
    passwd* found = nullptr;
    storage.assign(16384, '\0');
    if (::getpwnam_r(name.c_str(), &pw, storage.data(), storage.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return pw;
}

std::string CurrentUser() {
    std::string storage(16384, '\0');
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, storage.data(), storage.size(), &found) == 0 && found != nullptr)
        return pw.pw_name;
    return std::to_string(::geteuid());
}

void MakeDir(const std::string& path, mode_t mode) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) throw Failure{1, "cannot create " + path + ": " + ec.message()};
    ::chmod(path.c_str(), mode);
}

// Writes a file through a temporary name, so that a reader never sees half of it.
void WriteFileAtomic(const std::string& path, const std::string& text, mode_t mode) {
    const std::string tmp = path + ".tmp";
    {
        Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
        if (!fd.Valid()) throw Failure{1, "cannot write " + tmp + ": " + std::strerror(errno)};
        WriteAll(fd.Get(), text);
        if (::fsync(fd.Get()) != 0) throw Failure{1, "cannot write " + tmp + ": " + std::strerror(errno)};
    }
    ::chmod(tmp.c_str(), mode);
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        throw Failure{1, "cannot rename " + tmp + ": " + std::strerror(errno)};
}

void CopyFileAtomic(const std::string& from, const std::string& to) {
    const std::string tmp = to + ".tmp";
    std::error_code ec;
    fs::remove(tmp, ec);
    if (!fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec))
        throw Failure{1, "cannot copy " + from + " to " + tmp + ": " + ec.message()};
    ::chmod(tmp.c_str(), 0755);
    if (::rename(tmp.c_str(), to.c_str()) != 0)
        throw Failure{1, "cannot rename " + tmp + ": " + std::strerror(errno)};
}

// A real file under the image's own name (never a symbolic link: /proc/PID/exe would show the target).
// A hard link shows the name it was started under; a copy is the fallback across file systems.
void PlaceProgram(const std::string& program, const std::string& to) {
    std::error_code ec;
    fs::remove(to, ec);  // a running image keeps its old inode
    if (::link(program.c_str(), to.c_str()) == 0) return;
    CopyFileAtomic(program, to);
}

std::string ProcMonToml(const std::vector<std::string>& images) {
    std::string s = "[";
    for (size_t i = 0; i < images.size(); ++i) s += (i ? ", " : "") + TomlQuote(images[i]);
    return s + "]";
}

void ChownPath(const std::string& path, uid_t uid, gid_t gid, bool recursive) {
    if (::lchown(path.c_str(), uid, gid) != 0)
        throw Failure{1, "cannot change the owner of " + path + ": " + std::strerror(errno)};
    std::error_code ec;
    if (!recursive || !fs::is_directory(fs::symlink_status(path, ec))) return;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (::lchown(it->path().c_str(), uid, gid) != 0)
            throw Failure{1,
                          "cannot change the owner of " + it->path().string() + ": " + std::strerror(errno)};
}

}  // namespace

int RunInstall(const std::vector<std::string>& args) {
    Options o = ParseInstall(args);
    Instance inst;
    inst.sid = Upper(o.sid);
    inst.name = Upper(o.name);
    inst.type = Lower(o.type);
    inst.linuxNames = o.linuxNames;
    auto alnum = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(),
                           [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    };
    if (inst.sid.size() != 3 || !alnum(inst.sid) || !std::isalpha(static_cast<unsigned char>(inst.sid[0])))
        throw Failure{2,
                      "--sid: '" + o.sid + "' is not a system ID (three letters or digits, a letter first)"};
    if (inst.name.size() < 3 || !alnum(inst.name) ||
        !std::isdigit(static_cast<unsigned char>(inst.name.end()[-1])) ||
        !std::isdigit(static_cast<unsigned char>(inst.name.end()[-2])))
        throw Failure{
            2, "--instance: '" + o.name + "' is not an instance name (letters, then a two-digit number)"};
    if (std::find(kTypes.begin(), kTypes.end(), inst.type) == kTypes.end())
        throw Failure{
            2, "--type: '" + o.type +
                   "' is none of central, dialog, enqueue, enqrep, aenqueue, aenqrep, jenqueue, jenqrep"};
    const bool stack = inst.type == "central" || inst.type == "dialog";
    std::optional<Arch> arch = o.arch.empty() ? (stack ? Arch::Abap : Arch::None) : ParseArch(Lower(o.arch));
    if (!arch) throw Failure{2, "--arch: '" + o.arch + "' is none of abap, java, addin, none"};
    if (stack == (*arch == Arch::None))
        throw Failure{2, "--arch " + std::string(ArchName(*arch)) + " does not fit --type " + inst.type +
                             " (central and dialog: abap, java or addin; the enqueue types: none)"};
    inst.arch = *arch;
    inst.host = o.host.empty() ? ShortHostName() : o.host;
    if (!IsHostLabel(inst.host)) throw Failure{2, "--host: '" + inst.host + "' is not a valid host name"};

    const bool root = ::geteuid() == 0;
    const std::string admin = o.admin.empty() ? CurrentUser() : o.admin;
    const std::string serviceUser = o.serviceUser.empty() ? admin : o.serviceUser;
    std::optional<passwd> owner;
    std::string ownerStorage;
    if (root && !o.admin.empty()) {
        owner = Account(admin, ownerStorage);
        if (!owner) throw Failure{2, "--admin: no account '" + admin + "'"};
    }
    if (root && !o.serviceUser.empty()) {
        std::string s;
        if (!Account(serviceUser, s)) throw Failure{2, "--service-user: no account '" + serviceUser + "'"};
    }

    MakeDir(o.root, 0755);
    inst.root = fs::canonical(o.root).string();
    const char* envRoot = std::getenv("CAIRN_SERVICE_ROOT");
    const std::string regRoot = envRoot != nullptr && *envRoot != '\0' ? envRoot : "/var/lib/cairn/services";
    const std::string regDir = regRoot + "/" + inst.ServiceName();
    if (!o.force) {
        if (fs::exists(inst.Dir()))
            throw Failure{1, "instance already installed at " + inst.Dir() + " (--force replaces it)"};
        if (fs::exists(regDir + "/service.toml"))
            throw Failure{1, "service " + inst.ServiceName() + " already registered in " + regRoot +
                                 " (--force replaces it)"};
    }
    for (const Instance& other : FindInstances(inst.root, inst.sid))
        if (other.Nr() == inst.Nr() && other.name != inst.name)
            throw Failure{1,
                          "instance number " + inst.Nr() + " of " + inst.sid + " is taken by " + other.name};

    // Kernel directory: the tools, every image (for processes started from it) and sapsim for the service.
    const std::string sys = inst.SidDir() + "/SYS";
    for (const std::string& d : {inst.KernelDir(), sys + "/profile", sys + "/global"}) MakeDir(d, 0755);
    const std::string program = inst.KernelDir() + "/sapsim";
    CopyFileAtomic(SelfExe(), program);
    for (const std::string& t : kTools) PlaceProgram(program, inst.KernelDir() + "/" + inst.FileName(t));
    for (const std::string& i : kImages) PlaceProgram(program, inst.KernelDir() + "/" + inst.FileName(i));

    // Instance directory.
    std::error_code ec;
    fs::remove_all(inst.ExeDir(), ec);
    MakeDir(inst.ExeDir(), 0755);
    MakeDir(inst.Dir() + "/log", 0775);
    MakeDir(inst.WorkDir(), 0775);
    std::vector<std::string> images = inst.Images();
    for (const std::string& i : images) PlaceProgram(program, inst.ExeDir() + "/" + inst.FileName(i));
    // The start service runs from the instance's own directory, so clearing one instance never ends the
    // start service of another instance of the same system.
    const std::string startService = inst.ExeDir() + "/" + inst.FileName("sapstartsrv.exe");
    PlaceProgram(program, startService);
    if (inst.arch == Arch::Java || inst.arch == Arch::AddIn) {
        PlaceProgram(program, inst.ExeDir() + "/" + inst.FileName("jlaunch.exe"));
        MakeDir(inst.Dir() + "/j2ee/os_libs", 0755);
        PlaceProgram(program, inst.Dir() + "/j2ee/os_libs/" + inst.FileName("jcmon.exe"));
    }

    std::ostringstream prof;
    prof << "# Instance profile of " << inst.sid << " " << inst.name << " (written by sapsim install)\n"
         << "SAPSYSTEMNAME = " << inst.sid << "\n"
         << "SAPSYSTEM = " << inst.Nr() << "\n"
         << "INSTANCE_NAME = " << inst.name << "\n"
         << "SAPLOCALHOST = " << inst.host << "\n"
         << "DIR_INSTANCE = " << inst.Dir() << "\n"
         << "DIR_EXECUTABLE = " << inst.ExeDir() << "\n"
         << "sapsim/instance_type = " << inst.type << "\n"
         << "sapsim/architecture = " << ArchName(inst.arch) << "\n";
    if (inst.linuxNames) prof << "sapsim/linux_names = true\n";
    if (IsEnqueueType(inst.type)) prof << "enque/server/replication = false\n";
    WriteFileAtomic(inst.Profile(), prof.str(), 0644);

    if (owner) {
        // The SID's directories and this instance's files; other instances' trees are left as they are.
        for (const std::string& p :
             {inst.SidDir(), sys, sys + "/exe", sys + "/profile", sys + "/global", inst.Profile()})
            ChownPath(p, owner->pw_uid, owner->pw_gid, false);
        ChownPath(inst.KernelDir(), owner->pw_uid, owner->pw_gid, true);
        ChownPath(inst.Dir(), owner->pw_uid, owner->pw_gid, true);
    }

    // The start service, registered straight into the service manager's registry.
    MakeDir(regDir, 0755);
    std::ostringstream svc;
    svc << "# SAP start service of " << inst.sid << " " << inst.name << " (written by sapsim install)\n"
        << "exec = [" << TomlQuote(startService) << ", \"service\", \"--root\", " << TomlQuote(inst.root)
        << ", \"--sid\", " << TomlQuote(inst.sid) << ", \"--instance\", " << TomlQuote(inst.name) << "]\n";
    if (!o.serviceUser.empty() || !o.admin.empty()) svc << "user = " << TomlQuote(serviceUser) << "\n";
    svc << "display_name = " << TomlQuote(inst.ServiceName()) << "\n";
    WriteFileAtomic(regDir + "/service.toml", svc.str(), 0644);

    const std::string resource = o.resource.empty() ? "sap" + inst.sid + "_" + inst.name : o.resource;
    std::vector<std::string> procMon;
    for (const std::string& i : images) procMon.push_back(inst.FileName(i));
    std::ostringstream out;
    out << "[resources." << resource << "]\n"
        << "type = \"Kestrel\"\n"
        << "SAPSID = " << TomlQuote(inst.sid) << "\n"
        << "InstName = " << TomlQuote(inst.name) << "\n"
        << "InstType = " << TomlQuote(inst.type) << "\n"
        << "SAPHome = " << TomlQuote(inst.KernelDir()) << "\n"
        << "SAPMonHome = " << TomlQuote(inst.KernelDir()) << "\n"
        << "SAPHost = " << TomlQuote(inst.host) << "\n"
        << "ProcMon = " << ProcMonToml(procMon) << "\n"
        << "SAPServiceUser = " << TomlQuote(serviceUser) << "\n"
        << "SAPAdmin = " << TomlQuote(admin) << "\n"
        << "SAPAdminDomain = " << TomlQuote(o.domain.empty() ? LocalDomain() : o.domain) << "\n"
        << "SAPAdminPassword = " << TomlQuote(o.password) << "\n"
        << "InstProfile = " << TomlQuote(inst.Profile()) << "\n"
        << "SecondLevelMonitor = 1\n"
        << "EPProgramTimeout = 15\n"
        << "ResLogLevel = \"INFO\"\n"
        << "EnqSrvResName = " << TomlQuote(o.enqSrvRes) << "\n"
        << "MonitorProgram = \"\"\n";
    std::cout << out.str();
    return 0;
}

int RunStatus(const std::vector<std::string>& args) {
    std::string root, sid, name;
    ParseInstanceOptions(args, root, sid, name, 2,
                         "usage: sapsim status --root DIR [--sid SID] [--instance NAME]");
    if (root.empty()) throw Failure{2, "usage: sapsim status --root DIR [--sid SID] [--instance NAME]"};
    std::error_code ec;
    root = fs::canonical(root, ec).string();
    if (ec) throw Failure{1, "no such directory: " + root};
    for (const Instance& inst : FindInstances(root, Upper(sid))) {
        if (!name.empty() && inst.name != Upper(name)) continue;
        std::cout << inst.sid << " " << inst.name << " (" << inst.type << ", " << ArchName(inst.arch)
                  << ", host " << inst.host << ", service " << inst.ServiceName() << ")\n";
        std::vector<ProcInfo> procs = InstanceProcesses(inst);
        if (procs.empty()) std::cout << "  no process running\n";
        for (const ProcInfo& p : procs) {
            std::string node = NodeOf(p);
            std::cout << "  " << p.pid << "  " << p.exe << (node.empty() ? "" : " [" + node + "]") << "\n";
        }
    }
    return 0;
}

}  // namespace sapsim
