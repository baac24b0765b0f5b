#include "OcfHarness.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace fs = std::filesystem;

namespace kestrel_ocf_test {
namespace {

// The agent's time scale under Pacemaker: its 5 s pauses take 50 ms, and a tool's 10 s limit (sapinfo.exe
// in Online's wait) still leaves a loaded machine 100 ms.
constexpr int kAgentTimeScale = 100;
std::atomic<int> g_providerCounter{0};

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::vector<std::string> With(std::vector<std::string> parameters, const std::string& name,
                              const std::string& value) {
    std::erase_if(parameters, [&](const std::string& p) { return p.starts_with(name + "="); });
    parameters.push_back(name + "=" + value);
    return parameters;
}

void OcfE2E::SetUp() {
    E2ETest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    provider_ = "kestreltest" + std::to_string(getpid()) + "x" + std::to_string(g_providerCounter++);
    providerDir_ = "/usr/lib/ocf/resource.d/" + provider_;
    ASSERT_TRUE(fs::create_directories(providerDir_)) << providerDir_;
    std::string script = "#!/bin/sh\n";
    for (const std::string& e : Identity().Environment())
        script += "export " + e.substr(0, e.find('=')) + "=" + ShellQuote(e.substr(e.find('=') + 1)) + "\n";
    // The cluster's own tools (cibadmin, asked about EnqSrvResName) talk to daemons that run as the cluster's
    // account, which the test accounts' files do not hold: they run without the wrappers.
    const std::string bin = Root() + "/bin";
    fs::create_directories(bin);
    ASSERT_TRUE(kestrel_test::WriteFile(
        bin + "/cibadmin", "#!/bin/sh\nunset LD_PRELOAD\nexec /usr/sbin/cibadmin \"$@\"\n", 0755));
    script += "export PATH=" + ShellQuote(bin) +
              ":\"$PATH\"\nexport PAM_WRAPPER_RUNTIME_DIR=" + ShellQuote(Root() + "/pam") +
              "\nexport KESTREL_TIME_SCALE=" + std::to_string(kAgentTimeScale) + "\nexec " +
              ShellQuote(KESTREL_OCF_ADAPTER) + " \"$@\"\n";
    ASSERT_TRUE(kestrel_test::WriteFile(Root() + "/ocf-agent.sh", script, 0755));
    fs::create_symlink(Root() + "/ocf-agent.sh", AgentPath());
}

void OcfE2E::TearDown() {
    std::error_code ec;
    if (!providerDir_.empty()) fs::remove_all(providerDir_, ec);
    E2ETest::TearDown();
}

std::vector<std::string> OcfE2E::Parameters(const Instance& in) const {
    std::vector<std::string> out;
    for (auto [key, value] : in.attributes) {
        // A TOML value text of sapsim's output: strings unquoted, arrays joined by commas.
        std::erase_if(value, [](char c) { return c == '"' || c == '[' || c == ']' || c == ' '; });
        if (!value.empty()) out.push_back(key + "=" + value);
    }
    out.insert(out.end(), {"state_dir=" + StateDir(), "log_dir=" + Root() + "/log", "debug_tags=19"});
    return out;
}

ProcResult OcfE2E::Crm(const std::string& op, const std::vector<std::string>& parameters,
                       const std::string& timeout) {
    std::vector<std::string> args{"--force-" + op, "--class", "ocf", "--provider", provider_,
                                  "--agent",       "Kestrel", "-T",  timeout};
    for (const std::string& p : parameters) args.insert(args.end(), {"--option", p});
    return kestrel_test::RunProcess(
        {.program = "/usr/sbin/crm_resource", .args = args, .cwd = Root(), .limitMs = 120000});
}

ProcResult OcfE2E::Agent(const std::string& action, const std::vector<std::string>& parameters,
                         const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env{"OCF_ROOT=/usr/lib/ocf", "OCF_RESOURCE_INSTANCE=test"};
    for (const std::string& p : parameters) env.push_back("OCF_RESKEY_" + p);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return kestrel_test::RunProcess(
        {.program = AgentPath(), .args = {action}, .env = kestrel_test::EnvironmentWith(env), .cwd = Root()});
}

size_t OcfE2E::KillImage(const Instance& in, const std::string& image) {
    size_t n = 0;
    for (const Proc& p : ProcessesUnderRoot())
        if (p.exe == in.Image(image) && kill(p.pid, SIGKILL) == 0) ++n;
    return n;
}

}  // namespace kestrel_ocf_test
