// End-to-end harness of the OCF adapter: the e2e harness's simulated SAP system and test accounts, with the
// adapter installed as a Pacemaker agent of a provider of its own
// (/usr/lib/ocf/resource.d/<provider>/Kestrel, removed again at the end). Pacemaker finds agents only there;
// the link points at a script in the test's root that preloads the NSS/PAM wrappers (so the agent sees the
// test accounts) and runs the built adapter.
#pragma once

#include <string>
#include <vector>

#include "E2EHarness.h"

namespace kestrel_ocf_test {

using kestrel_e2e::Instance;
using kestrel_test::Contains;
using kestrel_test::ProcResult;

class OcfE2E : public kestrel_e2e::E2ETest {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& Provider() const { return provider_; }
    // The agent's path as Pacemaker runs it (the link to the script).
    std::string AgentPath() const { return providerDir_ + "/Kestrel"; }
    // "NAME=value" of every parameter of the instance: its attributes (lists joined by commas; empty ones
    // left out, as crm_resource refuses them), then state_dir, log_dir and debug_tags.
    std::vector<std::string> Parameters(const Instance& in) const;
    // crm_resource --force-<op> (start, stop, check) of the agent with the parameters and -T timeout.
    ProcResult Crm(const std::string& op, const std::vector<std::string>& parameters,
                   const std::string& timeout = "20s");
    // The agent run directly with an action, OCF_RESOURCE_INSTANCE and OCF_RESKEY_<parameter>.
    ProcResult Agent(const std::string& action, const std::vector<std::string>& parameters,
                     const std::vector<std::string>& extraEnv = {});
    // Kills the instance's processes showing image (SIGKILL); how many.
    size_t KillImage(const Instance& in, const std::string& image);

  private:
    std::string provider_, providerDir_;
};

// Replaces (or adds) NAME=value in parameters.
std::vector<std::string> With(std::vector<std::string> parameters, const std::string& name,
                              const std::string& value);

}  // namespace kestrel_ocf_test
