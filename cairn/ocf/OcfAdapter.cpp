#include "OcfAdapter.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>

#include "CairnAgfw.h"

namespace cairn::ocf {
namespace {

// Decimal number of the given type, the whole text.
template <class T>
std::optional<T> Number(std::string_view text) {
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string XmlText(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

const char* ContentOf(const host::ArgumentDef& argument) {
    if (!argument.content.empty()) return argument.content.c_str();
    return argument.kind == host::ArgKind::Integer ? "integer" : "string";
}

std::string Parameter(const std::string& name, bool required, bool unique, const std::string& longDesc,
                      const std::string& shortDesc, const std::string& content, const std::string& value) {
    return "    <parameter name=\"" + XmlText(name) + "\" required=\"" + (required ? "1" : "0") +
           "\" unique=\"" + (unique ? "1" : "0") + "\">\n      <longdesc lang=\"en\">" + XmlText(longDesc) +
           "</longdesc>\n      <shortdesc lang=\"en\">" + XmlText(shortDesc) +
           "</shortdesc>\n      <content type=\"" + content + "\" default=\"" + XmlText(value) + "\"/>\n" +
           "    </parameter>\n";
}

int32_t TypeSeconds(const host::TypeDefinition& type, const char* name, int32_t fallback) {
    auto found = type.typeAttributes.find(name);
    return found == type.typeAttributes.end() ? fallback : std::max(found->second, 0);
}

}  // namespace

std::vector<std::string> SplitList(std::string_view text) {
    std::vector<std::string> out;
    std::string entry;
    for (char c : text) {
        if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (!entry.empty()) out.push_back(std::move(entry));
            entry.clear();
        } else {
            entry += c;
        }
    }
    if (!entry.empty()) out.push_back(std::move(entry));
    return out;
}

std::string WithoutCloneSuffix(const std::string& instance) {
    const size_t colon = instance.rfind(':');
    if (colon == std::string::npos || colon + 1 == instance.size()) return instance;
    const bool digits = std::all_of(instance.begin() + static_cast<std::ptrdiff_t>(colon) + 1, instance.end(),
                                    [](char c) { return c >= '0' && c <= '9'; });
    return digits ? instance.substr(0, colon) : instance;
}

bool ReadRequest(const host::TypeDefinition& type, const Environment& env, Request& out,
                 std::string& problem) {
    auto param = [&env](const std::string& name) -> const char* {
        return env(("OCF_RESKEY_" + name).c_str());
    };
    const char* instance = env("OCF_RESOURCE_INSTANCE");
    out.resource = WithoutCloneSuffix(instance != nullptr ? instance : "");
    if (!host::IsValidName(out.resource)) {
        problem = "OCF_RESOURCE_INSTANCE '" + out.resource +
                  "' is no resource name (1 to 128 letters, digits, '_', '-' or '.', not starting with '.')";
        return false;
    }
    out.config.name = out.resource;
    out.config.type = type.name;
    for (const host::ArgumentDef& argument : type.arguments) {
        const char* value = param(argument.name);
        if (value == nullptr) continue;
        std::vector<std::string>& texts = out.config.values[argument.name];
        switch (argument.kind) {
            case host::ArgKind::String:
                texts = {value};
                break;
            case host::ArgKind::Integer:
                if (auto number = Number<int32_t>(value)) {
                    texts = {std::to_string(*number)};
                } else {
                    problem =
                        "parameter " + argument.name + ": expected a 32-bit integer, got '" + value + "'";
                    return false;
                }
                break;
            case host::ArgKind::List:
                texts = SplitList(value);
                break;
        }
    }
    for (auto [name, dir] : {std::pair{"state_dir", &out.stateDir}, std::pair{"log_dir", &out.logDir}}) {
        if (const char* value = param(name)) {
            if (value[0] != '/') {
                problem = std::string("parameter ") + name + ": expected an absolute directory, got '" +
                          value + "'";
                return false;
            }
            *dir = value;
        }
    }
    if (const char* tags = param("debug_tags")) {
        for (const std::string& tag : SplitList(tags)) {
            auto number = Number<uint32_t>(tag);
            if (!number) {
                problem = "parameter debug_tags: expected numbers (19 trace, 20 dump), got '" + tag + "'";
                return false;
            }
            out.debugTags.insert(*number);
        }
    }
    if (const char* manager = param("service_manager")) {
        out.serviceManager = manager;
        if (out.serviceManager != "embedded" && out.serviceManager != "systemd" &&
            out.serviceManager != "auto") {
            problem = "parameter service_manager: expected embedded, systemd or auto, got '" +
                      out.serviceManager + "'";
            return false;
        }
    }
    // Pacemaker's own values: a text that is no number is taken as absent.
    if (const char* timeout = param("CRM_meta_timeout")) {
        if (auto ms = Number<uint64_t>(timeout)) out.timeoutMs = *ms;
    }
    if (const char* interval = param("CRM_meta_interval")) {
        auto ms = Number<uint64_t>(interval);
        out.probe = !ms || *ms == 0;
    }
    if (const char* level = env("OCF_CHECK_LEVEL")) out.checkLevel = Number<uint32_t>(level).value_or(0);
    return true;
}

std::string MetaData(const host::TypeDefinition& type) {
    const int32_t online = TypeSeconds(type, "OnlineTimeout", 600);
    const int32_t offline = TypeSeconds(type, "OfflineTimeout", 600);
    const int32_t monitor = TypeSeconds(type, "MonitorTimeout", 60);
    const int32_t clean = TypeSeconds(type, "CleanTimeout", 120);
    const int32_t margin = static_cast<int32_t>(kMarginMs / 1000);
    std::string xml =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE resource-agent SYSTEM \"ra-api-1.dtd\">\n<resource-agent "
        "name=\"" +
        XmlText(type.name) +
        "\" version=\"" KESTREL_VERSION "\">\n  <version>1.0</version>\n  <longdesc lang=\"en\">" +
        XmlText(type.longDesc) + "</longdesc>\n  <shortdesc lang=\"en\">" + XmlText(type.shortDesc) +
        "</shortdesc>\n  <parameters>\n";
    for (const host::ArgumentDef& argument : type.arguments) {
        std::string value;
        for (const std::string& entry : argument.defaultValue) value += (value.empty() ? "" : ",") + entry;
        xml += Parameter(argument.name, argument.required, argument.unique, argument.longDesc,
                         argument.shortDesc, ContentOf(argument), value);
    }
    xml +=
        Parameter("state_dir", false, false,
                  "Node-local directory of the agent's state: cookies (the second-level countdown) and the "
                  "embedded service manager's registry (services/).",
                  "State directory", "string", kDefaultStateDir);
    xml += Parameter(
        "log_dir", false, false,
        "Node-local directory of the agent log Kestrel.log and the resource debug logs (resources/).",
        "Log directory", "string", kDefaultLogDir);
    xml += Parameter(
        "debug_tags", false, false,
        "Debug tags written to the resource debug log, comma- or blank-separated: 19 every trace line "
        "as it is written, 20 the dumps.",
        "Debug tags", "string", "");
    xml += Parameter("service_manager", false, false,
                     "Which service manager runs the instance's start service: embedded, systemd or auto.",
                     "Service manager", "string", "");
    auto action = [](const char* name, int32_t timeout, const char* more = "") {
        return std::string("    <action name=\"") + name + "\" timeout=\"" + std::to_string(timeout) + "s\"" +
               more + "/>\n";
    };
    xml += "  </parameters>\n  <actions>\n";
    xml += action("start", online + monitor + margin);
    xml += action("stop", offline + clean + margin);
    xml += action("monitor", monitor + margin, " interval=\"120s\" depth=\"0\"");
    xml += action("validate-all", 30);
    xml += action("meta-data", 5);
    xml += action("usage", 5);
    xml += "  </actions>\n</resource-agent>\n";
    return xml;
}

ActionBudget::ActionBudget(uint64_t timeoutMs, uint64_t nowMs, double timeScale)
    : totalMs_(static_cast<uint64_t>(static_cast<double>(timeoutMs > kMarginMs ? timeoutMs - kMarginMs : 0) *
                                     timeScale)),
      deadline_(nowMs + totalMs_) {}

uint64_t ActionBudget::RemainingMs(uint64_t nowMs) const {
    return nowMs < deadline_ ? deadline_ - nowMs : 0;
}

int32_t ActionBudget::TimeoutSeconds(uint64_t nowMs, uint64_t keepMs) const {
    const uint64_t left = RemainingMs(nowMs);
    const uint64_t seconds = left > keepMs ? (left - keepMs) / 1000 : 0;
    return static_cast<int32_t>(std::min<uint64_t>(seconds, INT32_MAX));
}

uint64_t ActionBudget::Reserve(int32_t typeSeconds) const {
    return std::min<uint64_t>(static_cast<uint64_t>(std::max(typeSeconds, 0)) * 1000, totalMs_ / 4);
}

int MapValidation(uint32_t verdict) {
    switch (verdict) {
        case kCairnValidateOk:
            return kOcfSuccess;
        case kCairnValidateNotConfigured:
            return kOcfErrConfigured;
        case kCairnValidateNotInstalled:
            return kOcfErrInstalled;
        default:
            return kOcfErrGeneric;
    }
}

int MapMonitor(uint32_t state, uint32_t remains) {
    if (state == 1) return kOcfSuccess;
    return remains == 0 ? kOcfNotRunning : kOcfErrGeneric;
}

int MapStop(uint32_t remains) {
    return remains == 0 ? kOcfSuccess : kOcfErrGeneric;
}

std::string FirstError(const std::vector<host::CallRecord>& calls) {
    for (const host::CallRecord& call : calls) {
        for (const LogMessage& message : call.messages) {
            if (message.severity > 1 || message.id == 20000) continue;  // dump lines are trace, not reasons
            return std::to_string(message.id) + " " + message.text.substr(0, message.text.find('\n'));
        }
    }
    return {};
}

}  // namespace cairn::ocf
