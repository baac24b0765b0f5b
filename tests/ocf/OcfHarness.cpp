#include "OcfHarness.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace kestrel_ocf_test {
namespace {

std::atomic<int> g_providerCounter{0};

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A TOML value text of sapsim's output as a parameter value: strings unquoted, arrays joined by commas.
std::string ParameterValue(const std::string& toml) {
    std::string out;
    bool quoted = false;
    for (char c : toml) {
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            out += c;
        } else if (c == ',') {
            out += ',';
        } else if (c != '[' && c != ']' && c != ' ') {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> With(std::vector<std::string> parameters, const std::string& name,
                              const std::string& value) {
    parameters = Without(std::move(parameters), name);
    parameters.push_back(name + "=" + value);
    return parameters;
}

std::vector<std::string> Without(std::vector<std::string> parameters, const std::string& name) {
    std::erase_if(parameters, [&](const std::string& p) { return p.rfind(name + "=", 0) == 0; });
    return parameters;
}

void OcfE2E::SetUp() {
    E2ETest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    provider_ = "kestreltest" + std::to_string(getpid()) + "x" + std::to_string(g_providerCounter++);
    providerDir_ = "/usr/lib/ocf/resource.d/" + provider_;
    ASSERT_TRUE(fs::create_directories(providerDir_)) << providerDir_;
    std::ostringstream script;
    script << "#!/bin/sh\n";
    for (const std::string& e : Identity().Environment()) {
        const size_t eq = e.find('=');
        script << "export " << e.substr(0, eq) << "=" << ShellQuote(e.substr(eq + 1)) << "\n";
    }
    script << "export PAM_WRAPPER_RUNTIME_DIR=" << ShellQuote(Root() + "/pam") << "\n"
           << "export KESTREL_TIME_SCALE=1000\n"
           << "exec " << ShellQuote(KESTREL_OCF_ADAPTER) << " \"$@\"\n";
    const std::string scriptPath = Root() + "/ocf-agent.sh";
    ASSERT_TRUE(kestrel_test::WriteFile(scriptPath, script.str()));
    chmod(scriptPath.c_str(), 0755);
    fs::create_symlink(scriptPath, AgentPath());
}

void OcfE2E::TearDown() {
    if (!providerDir_.empty()) {
        std::error_code ec;
        fs::remove_all(providerDir_, ec);
    }
    E2ETest::TearDown();
}

std::vector<std::string> OcfE2E::Parameters(const Instance& in) const {
    std::vector<std::string> out;
    for (const auto& [key, value] : in.attributes) {
        const std::string text = ParameterValue(value);
        if (!text.empty()) out.push_back(key + "=" + text);
    }
    out.push_back("state_dir=" + StateDir());
    out.push_back("log_dir=" + Root() + "/log");
    out.push_back("debug_tags=19");
    return out;
}

ProcResult OcfE2E::Crm(const std::string& op, const std::vector<std::string>& parameters,
                       const std::string& timeout, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> args{"--force-" + op, "--class", "ocf", "--provider", provider_,
                                  "--agent",       "Kestrel", "-T",  timeout};
    for (const std::string& p : parameters) args.insert(args.end(), {"--option", p});
    return kestrel_test::RunProcess({.program = "/usr/sbin/crm_resource",
                                     .args = args,
                                     .env = kestrel_test::EnvironmentWith(extraEnv),
                                     .cwd = Root(),
                                     .limitMs = 120000});
}

ProcResult OcfE2E::Agent(const std::string& action, const std::vector<std::string>& parameters,
                         const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env{"OCF_ROOT=/usr/lib/ocf", "OCF_RESOURCE_INSTANCE=test"};
    for (const std::string& p : parameters) env.push_back("OCF_RESKEY_" + p);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return kestrel_test::RunProcess(
        {.program = AgentPath(), .args = {action}, .env = kestrel_test::EnvironmentWith(env), .cwd = Root()});
}

size_t OcfE2E::AgentLogCount(const std::string& text) const {
    size_t n = 0;
    for (const std::string& l : kestrel_test::Lines(kestrel_test::ReadFile(Root() + "/log/Kestrel.log")))
        if (kestrel_test::Contains(l, text)) ++n;
    return n;
}

size_t OcfE2E::KillImage(const Instance& in, const std::string& image) {
    size_t n = 0;
    for (const Proc& p : ProcessesUnderRoot()) {
        if (p.exe == in.Image(image) && kill(p.pid, SIGKILL) == 0) ++n;
    }
    return n;
}

}  // namespace kestrel_ocf_test
