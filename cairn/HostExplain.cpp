#include "HostExplain.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "HostCommands.h"

namespace cairn::host {
namespace {

bool StartsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}
bool Has(const std::string& s, std::string_view part) {
    return s.find(part) != std::string::npos;
}

// The text between the n-th (from 0) "[" and the next "]"; empty when there is none. For names and numbers,
// which hold no brackets (paths may: they are cut out by what follows them instead).
std::string Bracket(const std::string& s, size_t n = 0) {
    size_t open = std::string::npos;
    for (size_t i = 0, at = 0; i <= n; ++i, at = open + 1) {
        open = s.find('[', at);
        if (open == std::string::npos) return "";
    }
    size_t close = s.find(']', open + 1);
    return close == std::string::npos ? "" : s.substr(open + 1, close - open - 1);
}

// The text between prefix and the first occurrence of end after it ("" when either is missing).
std::string Between(const std::string& s, std::string_view prefix, std::string_view end) {
    size_t at = s.find(prefix);
    if (at == std::string::npos) return "";
    at += prefix.size();
    size_t stop = s.find(end, at);
    return stop == std::string::npos ? "" : s.substr(at, stop - at);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// The first "[N]" after a mention of an exit code, as the agent traces it ("exitcode [0]", "exit code of
// sapinfo.exe [0]", "exit code[3]").
std::optional<int64_t> ExitCodeIn(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find("exitcode");
    if (at == std::string::npos) at = lower.find("exit code");
    if (at == std::string::npos) return std::nullopt;
    size_t open = lower.find('[', at);
    if (open == std::string::npos) return std::nullopt;
    char* end = nullptr;
    long long value = strtoll(lower.c_str() + open + 1, &end, 10);
    if (end == lower.c_str() + open + 1 || *end != ']') return std::nullopt;
    return value;
}

bool InRunner(const std::string& function) {
    return function == "CKestrelUtil::CreateAndGetExitCode" ||
           function == "CKestrelUtil::CreateAsUserAndGetOutput";
}

}  // namespace

ExplainFacts ExplainFromTrace(const std::vector<TimedTrace>& lines) {
    ExplainFacts f;
    std::vector<std::pair<std::string, std::string>> matched;  // image path -> ProcMon entry
    std::string slmFrom, slmTo;
    std::optional<size_t> tool;  // index of the tool in progress
    bool toolRunning = false;
    uint64_t toolStart = 0;
    for (const TimedTrace& line : lines) {
        const std::string& t = line.text;
        // A tool ends when the agent's own code (not the runner) writes its next line.
        if (toolRunning && !InRunner(line.function)) {
            f.tools[*tool].ms = line.atMs - toolStart;
            toolRunning = false;
        }
        if (tool && !f.tools[*tool].exitCode) {
            if (auto code = ExitCodeIn(t)) f.tools[*tool].exitCode = code;
        }
        if (StartsWith(t, "CreateAndGetExitCode called with command [") ||
            (StartsWith(t, "Executing the command [") && Has(t, "] to check the SAP Instance status."))) {
            std::string command = StartsWith(t, "Create") ? Between(t, "command [", "], path [")
                                                          : Between(t, "command [", "] to check");
            f.tools.push_back({command, std::nullopt, 0, ""});
            tool = f.tools.size() - 1;
            toolRunning = true;
            toolStart = line.atMs;
        } else if (StartsWith(t, "No time is left in the budget to run the command [")) {
            f.tools.push_back({Between(t, "command [", "]; it counts"), std::nullopt, 0, t});
            tool = f.tools.size() - 1;
        } else if (tool && (StartsWith(t, "CKestrelUtil::CreateAsUserAndGetOutput returned") ||
                            Has(t, "timed out"))) {
            if (f.tools[*tool].failure.empty()) f.tools[*tool].failure = t;
        } else if (StartsWith(t, "Got [") && Has(t, "] from ProcMon list.")) {
            std::string entry = Bracket(t);
            bool known = std::any_of(f.procMon.begin(), f.procMon.end(),
                                     [&](const std::string& e) { return Upper(e) == Upper(entry); });
            if (!known) f.procMon.push_back(entry);
        } else if (Has(t, "Pushing jlaunch.exe onto ProcMon")) {
            f.procMon.push_back("JLAUNCH.EXE");
        } else if (StartsWith(t, "Found ProcMon [")) {
            matched.emplace_back(Between(t, "in the exe name [", "]"), Bracket(t));
        } else if (StartsWith(t, "Got PID [") && Has(t, "] for process [")) {
            ExplainFacts::Process p;
            p.pid = strtoll(Bracket(t, 0).c_str(), nullptr, 10);
            p.owner = Bracket(t, 1);
            p.image = t.substr(t.find("] for process [") + 15);
            if (size_t end = p.image.rfind("]."); end != std::string::npos) p.image.resize(end);
            for (const auto& [image, entry] : matched)
                if (image == p.image) p.procMon = entry;
            f.processes.push_back(p);
        } else if (line.function == "CKestrel::GetResourceState") {
            f.processCheck.push_back(t);
        } else if (StartsWith(t, "The SAP Service [") &&
                   (Has(t, "] is Running.") || Has(t, "] is NOT Running."))) {
            f.service = Bracket(t);
            f.serviceState = Has(t, "NOT Running") ? "stopped" : "running";
        } else if (StartsWith(t, "Failed to get the status of SAP Service [")) {
            f.service = Bracket(t);
            f.serviceState = "unknown";
        } else if (StartsWith(t, "Perform the process level check")) {
            f.first.ran = true;
        } else if (t == "Process level check returned resource is Online.") {
            f.first.verdict = "online";
        } else if (t == "Process level check returned resource is NOT Online.") {
            f.first.verdict = "not online";
        } else if (StartsWith(t, "Failed to perform process level check.")) {
            f.first.verdict = "failed";
            f.first.why = t;
        } else if (StartsWith(t, "Got SLMCounter [")) {
            slmFrom = Bracket(t);
        } else if (StartsWith(t, "Decrementing SLMCounter to [")) {
            slmTo = Bracket(t);
        } else if (Has(t, "Skipping the Second Level Monitor.")) {
            f.second.why = "SecondLevelMonitor is " + Bracket(t) + ": the second level is switched off";
        } else if (StartsWith(t, "_SecondLevelMonitor is called")) {
            f.second.ran = true;
        } else if (StartsWith(t, "Second Level Monitor returned Resource state as ")) {
            f.second.verdict = Has(t, "as Online.")    ? "online"
                               : Has(t, "as Offline.") ? "offline"
                                                       : "unknown";
        } else if (t == "Second level monitor returned resource is NOT Online.") {
            if (f.second.verdict.empty()) f.second.verdict = "not online";
        } else if (StartsWith(t, "Failed to perform second level monitoring.")) {
            f.second.verdict = "failed";
            f.second.why = t;
        } else if (StartsWith(t, "_ThirdLevelMonitor is called")) {
            f.third.ran = true;
        } else if (StartsWith(t, "MonitorProgram attribute is null")) {
            f.third.ran = false;
            f.third.why = "MonitorProgram is empty";
        } else if (StartsWith(t, "MonitorProgram [") && Has(t, "does NOT exist")) {
            f.third.why = t;
            f.third.verdict = "unknown";
        } else if (t == "MonitorProgram returned Online(110).") {
            f.third.verdict = "online";
        } else if (t == "MonitorProgram returned Offline(100)." ||
                   t == "Third level monitor returned resource is NOT Online.") {
            if (f.third.verdict.empty() || f.third.verdict == "online") f.third.verdict = "not online";
        } else if (StartsWith(t, "MonitorProgram exited with Unknown exitcode")) {
            f.third.verdict = "unknown";
        }
    }
    for (const std::string& entry : f.procMon) {
        bool found = std::any_of(matched.begin(), matched.end(),
                                 [&](const auto& m) { return Upper(m.second) == Upper(entry); });
        if (!found) f.missing.push_back(entry);
    }
    if (!f.second.ran && f.second.why.empty()) {
        if (!slmTo.empty()) {
            f.second.why = "the countdown (SLMCounter) was " + (slmFrom.empty() ? "?" : slmFrom) +
                           " and is now " + slmTo + "; the second level runs when it comes round";
        } else if (f.first.verdict != "online") {
            f.second.why = "the first level did not find the instance online";
        }
    }
    if (!f.first.ran) f.first.why = "the agent did not get as far as the checks: see its messages";
    if (f.first.verdict == "not online" && f.first.why.empty()) {
        if (!f.missing.empty()) {
            std::string list;
            for (const std::string& entry : f.missing) list += (list.empty() ? "" : ", ") + entry;
            f.first.why = "no process of ProcMon entry " + list;
        } else if (f.serviceState != "running" && !f.service.empty()) {
            f.first.why = "the start service " + f.service + " is " + f.serviceState;
        }
    }
    if (!f.third.ran && f.third.why.empty()) {
        if (f.first.verdict != "online")
            f.third.why = "the first level did not find the instance online";
        else if (f.second.ran && f.second.verdict != "online")
            f.third.why = "the second level did not find the instance online";
    }
    return f;
}

namespace {

std::string LevelText(const ExplainFacts::Level& level) {
    if (!level.ran) return "not run" + (level.why.empty() ? std::string() : " (" + level.why + ")");
    std::string out = "ran";
    if (!level.verdict.empty()) out += ", " + level.verdict;
    if (!level.why.empty()) out += " (" + level.why + ")";
    return out;
}

std::string LevelJson(const ExplainFacts::Level& level) {
    return "{\"ran\": " + std::string(level.ran ? "true" : "false") +
           ", \"verdict\": " + JsonString(level.verdict) + ", \"why\": " + JsonString(level.why) + "}";
}

std::string List(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) out += (out.size() > 1 ? ", " : "") + JsonString(item);
    return out + "]";
}

}  // namespace

std::string ExplainText(const ExplainFacts& f) {
    std::string out;
    out += "Processes of the instance found (PID, image, owner):\n";
    if (f.processes.empty()) out += "  none\n";
    for (const auto& p : f.processes) {
        out += "  " + std::to_string(p.pid) + "  " + p.image + "  " + p.owner +
               (p.procMon.empty() ? "" : "  (ProcMon " + p.procMon + ")") + "\n";
    }
    out += "ProcMon entries checked: " + (f.procMon.empty() ? std::string("none") : List(f.procMon)) + "\n";
    out += "ProcMon entries missing: " + (f.missing.empty() ? std::string("none") : List(f.missing)) + "\n";
    std::string check;
    for (const std::string& line : f.processCheck) check += (check.empty() ? "" : " ") + line;
    out += "Process check: " + (check.empty() ? std::string("(no summary)") : check) + "\n";
    out += "Start service: " +
           (f.service.empty() ? std::string("not checked") : f.service + " " + f.serviceState) + "\n";
    out += "First level (processes and start service): " + LevelText(f.first) + "\n";
    out += "Second level (SAP's tool): " + LevelText(f.second) + "\n";
    out += "Third level (MonitorProgram): " + LevelText(f.third) + "\n";
    out += "Tools run:" + std::string(f.tools.empty() ? " none" : "") + "\n";
    for (const auto& tool : f.tools) {
        out += "  " + tool.command + "\n    exit code " +
               (tool.exitCode ? std::to_string(*tool.exitCode) : std::string("not traced")) + ", " +
               std::to_string(tool.ms) + " ms" + (tool.failure.empty() ? "" : "; " + tool.failure) + "\n";
    }
    return out;
}

std::string ExplainJsonFields(const ExplainFacts& f) {
    std::string out = "\"processes\": [";
    for (size_t i = 0; i < f.processes.size(); ++i) {
        const auto& p = f.processes[i];
        out += (i ? ", " : "") + std::string("{\"pid\": ") + std::to_string(p.pid) +
               ", \"image\": " + JsonString(p.image) + ", \"owner\": " + JsonString(p.owner) +
               ", \"procmon\": " + (p.procMon.empty() ? std::string("null") : JsonString(p.procMon)) + "}";
    }
    out += "], \"procmon\": " + JsonList(f.procMon) + ", \"missing\": " + JsonList(f.missing) +
           ", \"process_check\": " + JsonList(f.processCheck) + ", \"service\": " +
           (f.service.empty() ? std::string("null")
                              : "{\"name\": " + JsonString(f.service) +
                                    ", \"state\": " + JsonString(f.serviceState) + "}") +
           ", \"levels\": {\"first\": " + LevelJson(f.first) + ", \"second\": " + LevelJson(f.second) +
           ", \"third\": " + LevelJson(f.third) + "}, \"tools\": [";
    for (size_t i = 0; i < f.tools.size(); ++i) {
        const auto& tool = f.tools[i];
        out += (i ? ", " : "") + std::string("{\"command\": ") + JsonString(tool.command) +
               ", \"exit_code\": " + (tool.exitCode ? std::to_string(*tool.exitCode) : std::string("null")) +
               ", \"duration_ms\": " + std::to_string(tool.ms) +
               ", \"failure\": " + (tool.failure.empty() ? std::string("null") : JsonString(tool.failure)) +
               "}";
    }
    return out + "]";
}

}  // namespace cairn::host
