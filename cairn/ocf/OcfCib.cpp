#include "OcfCib.h"

#include "LibClock.h"
#include "LibRunAs.h"
#include "LibWide.h"

namespace cairn::ocf {
namespace {

// cibadmin's exit status when the query matched nothing.
constexpr uint32_t kNoSuchObject = 105;

// The value of attribute name in the first element of xml, empty when it has none.
std::string AttributeOf(const std::string& xml, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const size_t at = xml.find(key);
    if (at == std::string::npos) return {};
    const size_t start = at + key.size();
    const size_t end = xml.find('"', start);
    return end == std::string::npos ? std::string() : xml.substr(start, end - start);
}

}  // namespace

std::optional<std::string> CibResourceType(const std::string& resource, const std::string& typeName,
                                           uint64_t limitMs, std::string& problem) {
    // The name is a valid resource name (letters, digits, '_', '-', '.'): nothing in it needs quoting.
    TernRunOptions options;
    options.commandLine = TernMbToWide("cibadmin --query --xpath \"//primitive[@id='" + resource + "']\"");
    // The limit is real time; the runner takes the agent's nominal time.
    options.timeoutMs = static_cast<uint32_t>(std::min<double>(static_cast<double>(limitMs) * TernTimeScale(),
                                                               static_cast<double>(UINT32_MAX - 1)));
    TernRunResult result;
    const CKestrelStatus st = TernRunCommand(options, result);
    if (st.IsFailure()) {
        problem = st.GetError() == 258
                      ? "cibadmin did not answer in time"
                      : "cibadmin could not be run (error " + std::to_string(st.GetError()) + ")";
        return std::nullopt;
    }
    if (result.exitCode == kNoSuchObject) return std::string();
    if (result.exitCode != 0) {
        std::string first = result.output.substr(0, result.output.find('\n'));
        problem =
            "cibadmin exited with " + std::to_string(result.exitCode) + (first.empty() ? "" : ": " + first);
        return std::nullopt;
    }
    const size_t element = result.output.find("<primitive");
    if (element == std::string::npos) return std::string();
    const std::string tag = result.output.substr(element, result.output.find('>', element) - element);
    const std::string cls = AttributeOf(tag, "class");
    const std::string type = AttributeOf(tag, "type");
    if (cls == "ocf" && type == typeName) return typeName;
    return cls + ":" + AttributeOf(tag, "provider") + ":" + type;
}

}  // namespace cairn::ocf
