#include "SvcCommand.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "LibSCM.h"
#include "LibService.h"
#include "LibServiceRegistry.h"
#include "LibWide.h"

namespace {

// How long "svc stop" waits for the service's process to end (nominal ms).
constexpr uint32_t kStopWaitMs = 10000;

constexpr const char* kUsage =
    "usage: svc create NAME [--user U] [--display-name D] -- PROG ARGS...\n"
    "       svc delete NAME\n"
    "       svc start|stop|query NAME\n"
    "       svc list\n";

const char* StateName(uint32_t state) {
    switch (state) {
        case TERN_SERVICE_STOPPED:
            return "STOPPED";
        case TERN_SERVICE_START_PENDING:
            return "START_PENDING";
        case TERN_SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case TERN_SERVICE_RUNNING:
            return "RUNNING";
        default:
            return "UNKNOWN";
    }
}

const char* ErrorText(uint32_t error) {
    switch (error) {
        case 2:
            return "program not found";
        case 3:
            return "path not found";
        case 5:
            return "access denied";
        case 13:
            return "service.toml is damaged";
        case 50:
            return "not supported";
        case 123:
            return "invalid service name";
        case 160:
            return "no program given";
        case 258:
            return "timed out";
        case 1056:
            return "the service's process is running";
        case 1060:
            return "no such service";
        case 1069:
            return "the service's account is unknown or cannot be used";
        case 1073:
            return "a service with this name exists";
        case 1078:
            return "the name is already used by another service";
        default:
            return "system error";
    }
}

class Svc {
  public:
    Svc(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    int Usage(const char* problem) {
        if (problem) std::fprintf(err_, "svc: %s\n", problem);
        std::fputs(kUsage, err_);
        return 2;
    }

    int Failed(const std::string& what, const CKestrelStatus& st) {
        std::fprintf(err_, "svc: %s: %s [%u 0x%.08X]\n", what.c_str(), ErrorText(st.GetError()),
                     st.GetError(), st.GetError());
        return 1;
    }

    int Create(const std::vector<std::string>& words) {
        TernServiceConfig cfg;
        size_t i = 0;
        for (; i < words.size() && words[i] != "--"; ++i) {
            const std::string& w = words[i];
            if (w == "--user" || w == "--display-name") {
                if (i + 1 >= words.size() || words[i + 1] == "--")
                    return Usage((w + " needs a value").c_str());
                (w == "--user" ? cfg.user : cfg.displayName) = words[++i];
            } else if (w.rfind("--", 0) == 0) {
                return Usage(("unknown option " + w).c_str());
            } else if (cfg.keyName.empty()) {
                cfg.keyName = w;
            } else {
                return Usage(("unexpected word '" + w + "' (the program follows --)").c_str());
            }
        }
        if (cfg.keyName.empty()) return Usage("create needs a service name");
        if (i >= words.size() || i + 1 >= words.size() || words[i + 1].empty())
            return Usage("create needs -- followed by the program and its arguments");
        cfg.exec.assign(words.begin() + static_cast<long>(i) + 1, words.end());
        CKestrelStatus st = TernServiceRegistry::Create(cfg);
        if (st.IsFailure()) return Failed("cannot create service " + cfg.keyName, st);
        std::fprintf(out_, "%s: created\n", cfg.keyName.c_str());
        return 0;
    }

    int Delete(const std::string& name) {
        CKestrelStatus st = TernServiceRegistry::Delete(name);
        if (st.IsFailure()) return Failed("cannot delete service " + name, st);
        std::fprintf(out_, "%s: deleted\n", name.c_str());
        return 0;
    }

    // Opens through the same classes the agent uses, so a display name works too.
    bool OpenService(const std::string& name, TernService& svc, const char* action) {
        CKestrelStatus st =
            svc.Open(TernMbToWide(name).c_str(), TernService::kAllAccess, nullptr, TernSCM::kAllAccess);
        if (st.IsSuccess()) return true;
        Failed(std::string("cannot ") + action + " service " + name, st);
        return false;
    }

    int PrintStatus(TernService& svc) {
        TernServiceStatus status;
        CKestrelStatus st = svc.QueryStatus(status);
        std::string key = TernWideToUtf8(svc.GetName());
        if (st.IsFailure()) return Failed("cannot query service " + key, st);
        if (status.pid != 0)
            std::fprintf(out_, "%s: %s pid %u\n", key.c_str(), StateName(status.state), status.pid);
        else
            std::fprintf(out_, "%s: %s\n", key.c_str(), StateName(status.state));
        return 0;
    }

    int Start(const std::string& name) {
        TernService svc;
        if (!OpenService(name, svc, "start")) return 1;
        CKestrelStatus st = svc.Start();
        if (st.IsFailure()) {
            Failed("cannot start service " + name, st);
            std::fprintf(err_, "svc: see %s/%s/service.log\n", TernServiceRegistry::Root().c_str(),
                         TernWideToUtf8(svc.GetName()).c_str());
            return 1;
        }
        PrintStatus(svc);
        return 0;
    }

    int Stop(const std::string& name) {
        TernService svc;
        if (!OpenService(name, svc, "stop")) return 1;
        CKestrelStatus st = svc.Stop();
        if (st.IsSuccess()) st = svc.WaitForStop(kStopWaitMs);
        PrintStatus(svc);
        if (st.IsFailure()) return Failed("service " + name + " did not stop", st);
        return 0;
    }

    int Query(const std::string& name) {
        TernService svc;
        if (!OpenService(name, svc, "query")) return 1;
        return PrintStatus(svc);
    }

    int List() {
        std::vector<TernServiceEntry> services;
        CKestrelStatus st = TernServiceRegistry::List(services);
        if (st.IsFailure()) return Failed("cannot list services in " + TernServiceRegistry::Root(), st);
        for (const TernServiceEntry& e : services) {
            std::fprintf(out_, "%-24s %-13s %7u  %s\n", e.config.keyName.c_str(), StateName(e.status.state),
                         e.status.pid, e.config.displayName.c_str());
        }
        return 0;
    }

  private:
    std::FILE* out_;
    std::FILE* err_;
};

}  // namespace

int CairnSvcRun(int argc, char** argv, std::FILE* out, std::FILE* err) {
    Svc svc(out, err);
    if (argc < 2 || argv[1] == nullptr) return svc.Usage(nullptr);
    std::string action = argv[1];
    // The registry is the embedded manager's: a systemd selection is not followed here, and said so.
    if (const char* manager = std::getenv("CAIRN_SERVICE_MANAGER");
        manager != nullptr && *manager != '\0' && std::strcmp(manager, "embedded") != 0) {
        std::fprintf(err, "svc: service_manager is \"%s\"; svc works on the embedded service manager\n",
                     manager);
        setenv("CAIRN_SERVICE_MANAGER", "embedded", 1);
    }
    std::vector<std::string> words;
    for (int i = 2; i < argc && argv[i] != nullptr; ++i) words.emplace_back(argv[i]);

    if (action == "create") return svc.Create(words);
    if (action == "list") return words.empty() ? svc.List() : svc.Usage("list takes no arguments");
    if (action == "delete" || action == "start" || action == "stop" || action == "query") {
        if (words.size() != 1 || words[0].empty())
            return svc.Usage((action + " needs exactly one service name").c_str());
        if (action == "delete") return svc.Delete(words[0]);
        if (action == "start") return svc.Start(words[0]);
        if (action == "stop") return svc.Stop(words[0]);
        return svc.Query(words[0]);
    }
    if (action == "-h" || action == "--help" || action == "help") {
        std::fputs(kUsage, out);
        return 0;
    }
    return svc.Usage(("unknown action '" + action + "'").c_str());
}

int CairnSvcMain(int argc, char** argv) {
    return CairnSvcRun(argc, argv, stdout, stderr);
}
