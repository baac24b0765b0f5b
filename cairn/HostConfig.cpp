// Reading cluster.toml and <Type>.type.toml. toml++ reports syntax errors by exception; they are caught
// here and turned into one-line messages, so nothing escapes this file.
#include "HostConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace cairn::host {
namespace {

constexpr const char* kDefaultConfig = "/etc/cairn/cluster.toml";
constexpr const char* kSystemAgentDir = "/usr/lib/cairn/agents";

// Builds the one-line messages: "FILE:LINE: KEY: problem" (line and key when known).
struct Reporter {
    std::string file;
    std::string* error;

    bool Fail(const std::string& key, const toml::node* node, const std::string& problem) const {
        std::string where = file;
        if (node != nullptr && node->source().begin.line > 0)
            where += ":" + std::to_string(node->source().begin.line);
        *error = where + ": " + (key.empty() ? "" : key + ": ") + problem;
        return false;
    }
};

std::string KindName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a floating-point number";
        case toml::node_type::boolean:
            return "a boolean";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::table:
            return "a table";
        default:
            return "a date or time";
    }
}

// Configuration and type definitions are small; anything larger is not one.
constexpr off_t kMaxConfigFile = 16 << 20;

// Reads a whole configuration file. Only a regular file of at most kMaxConfigFile bytes is read: a FIFO or
// a device is refused without waiting on it (O_NONBLOCK) and without reading it.
bool ReadWholeFile(const std::string& path, std::string& out, std::string& problem) {
    // Owns the descriptor for the length of the read.
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        problem = strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file";
        return false;
    }
    if (st.st_size > kMaxConfigFile) {
        problem = "too large (" + std::to_string(st.st_size) + " bytes; at most " +
                  std::to_string(kMaxConfigFile) + ")";
        return false;
    }
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = strerror(errno);
            return false;
        }
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > static_cast<size_t>(kMaxConfigFile)) {  // grew while being read
            problem = "too large (more than " + std::to_string(kMaxConfigFile) + " bytes)";
            return false;
        }
    }
}

// Reads and parses a TOML file into out.
bool ParseFile(const std::string& path, toml::table& out, std::string& error) {
    std::string content;
    std::string problem;
    if (!ReadWholeFile(path, content, problem)) {
        error = path + ": cannot read the file: " + problem;
        return false;
    }
    try {
        out = toml::parse(content, path);
    } catch (const toml::parse_error& e) {
        std::string description(e.description());
        if (size_t newline = description.find('\n'); newline != std::string::npos)
            description.resize(newline);
        error = path + ":" + std::to_string(e.source().begin.line) + ":" +
                std::to_string(e.source().begin.column) + ": syntax error: " + description;
        return false;
    }
    return true;
}

std::string DirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// path itself when absolute, else relative to base; "." and ".." steps are folded for readable messages.
std::string Resolve(const std::string& base, const std::string& path) {
    if (path.empty()) return path;
    std::filesystem::path full =
        path[0] == '/' ? std::filesystem::path(path) : std::filesystem::path(base) / path;
    std::string out = full.lexically_normal().string();
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A decimal 32-bit integer from an integer node or a string holding one.
std::optional<int32_t> IntegerOf(const toml::node& node) {
    int64_t value = 0;
    if (const auto* integer = node.as_integer()) {
        value = integer->get();
    } else if (const auto* text = node.as_string()) {
        std::string_view digits = text->get();
        if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

// Reads a value of the given kind into texts; on a mismatch returns false with problem set.
bool ValueOf(const toml::node& node, ArgKind kind, std::vector<std::string>& texts, std::string& problem) {
    texts.clear();
    switch (kind) {
        case ArgKind::String:
            if (const auto* text = node.as_string()) {
                texts.push_back(text->get());
                return true;
            }
            problem = "expected a string, got " + KindName(node);
            return false;
        case ArgKind::Integer:
            if (auto value = IntegerOf(node)) {
                texts.push_back(std::to_string(*value));
                return true;
            }
            problem = node.is_integer() || node.is_string()
                          ? "expected a 32-bit integer (or a string holding one), got " +
                                (node.is_string() ? "\"" + std::string(node.as_string()->get()) + "\""
                                                  : std::to_string(node.as_integer()->get()))
                          : "expected an integer (or a string holding one), got " + KindName(node);
            return false;
        case ArgKind::List:
            if (const auto* array = node.as_array()) {
                for (const toml::node& entry : *array) {
                    const auto* text = entry.as_string();
                    if (text == nullptr) {
                        problem = "expected an array of strings, found " + KindName(entry) + " in it";
                        texts.clear();
                        return false;
                    }
                    texts.push_back(text->get());
                }
                return true;
            }
            problem = "expected an array of strings, got " + KindName(node);
            return false;
    }
    return false;
}

// The [programs] table of a type definition: each key names one program by a string or by an array of
// strings. An empty name (or an empty array) is refused: the agent would run or look for nothing.
bool LoadPrograms(const Reporter& report, const toml::node& node,
                  std::map<std::string, std::vector<std::string>>& out) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return report.Fail("programs", &node, "expected a table, got " + KindName(node));
    for (const auto& [key, value] : *table) {
        const std::string name = "programs." + std::string(key.str());
        std::vector<std::string> names;
        std::string problem;
        if (value.is_string()) {
            names.push_back(std::string(value.as_string()->get()));
        } else if (!ValueOf(value, ArgKind::List, names, problem)) {
            return report.Fail(name, &value,
                               value.is_array()
                                   ? problem
                                   : "expected a program name or an array of them, got " + KindName(value));
        }
        if (names.empty()) return report.Fail(name, &value, "empty array: the program needs a name");
        for (const std::string& text : names) {
            if (text.empty()) return report.Fail(name, &value, "empty program name");
        }
        out[std::string(key.str())] = std::move(names);
    }
    return true;
}

bool LoadTypeSection(const Reporter& report, const std::string& configDir, const std::string& exeDir,
                     const std::string& typeName, const toml::node& node, HostConfig& out) {
    const std::string key = "types." + typeName;
    const toml::table* table = node.as_table();
    if (table == nullptr) return report.Fail(key, &node, "expected a table, got " + KindName(node));
    if (!IsValidName(typeName)) {
        return report.Fail(key, &node,
                           "a type name is 1 to 128 letters, digits, '_', '-' or '.', not starting with '.'");
    }

    // The type's definition decides which type attributes exist, so find it first.
    std::vector<std::string> dirs;
    if (const toml::node* agentDir = table->get("agent_dir")) {
        if (!agentDir->is_string()) {
            return report.Fail(key + ".agent_dir", agentDir, "expected a string, got " + KindName(*agentDir));
        }
        dirs.push_back(Resolve(configDir, std::string(agentDir->as_string()->get())));
    }
    if (!exeDir.empty()) dirs.push_back(Resolve(exeDir, "../lib"));
    dirs.push_back(kSystemAgentDir);
    std::string definitionFile;
    for (const std::string& dir : dirs) {
        if (FileExists(dir + "/" + typeName + ".type.toml")) {
            definitionFile = dir + "/" + typeName + ".type.toml";
            break;
        }
    }
    if (definitionFile.empty()) {
        std::string searched;
        for (const std::string& dir : dirs) searched += (searched.empty() ? "" : ", ") + dir;
        return report.Fail(key, &node, "unknown type: no " + typeName + ".type.toml in " + searched);
    }
    TypeDefinition definition;
    if (!LoadTypeDefinition(definitionFile, definition, *report.error)) return false;
    if (definition.name != typeName) {
        return report.Fail(
            key, &node, definitionFile + " defines type '" + definition.name + "', not '" + typeName + "'");
    }

    TypeSettings settings = TypeSettingsOf(definition);
    for (const auto& [attrKey, value] : *table) {
        std::string name(attrKey.str());
        if (name == "agent_dir") continue;
        if (name == "debug_tags") {
            const toml::array* tags = value.as_array();
            if (tags == nullptr) {
                return report.Fail(key + ".debug_tags", &value,
                                   "expected an array of integers, got " + KindName(value));
            }
            for (const toml::node& tag : *tags) {
                auto number = IntegerOf(tag);
                if (!number || *number < 0) {
                    return report.Fail(
                        key + ".debug_tags", &tag,
                        "expected non-negative integers (19 trace, 20 dump), found " + KindName(tag));
                }
                settings.debugTags.insert(static_cast<uint32_t>(*number));
            }
            continue;
        }
        if (definition.typeAttributes.count(name) == 0) {
            std::string known = "agent_dir, debug_tags";
            for (const auto& [known_name, unused] : definition.typeAttributes) known += ", " + known_name;
            return report.Fail(key + "." + name, &value, "unknown type attribute (known: " + known + ")");
        }
        auto number = IntegerOf(value);
        if (!number || *number < 0) {
            return report.Fail(key + "." + name, &value,
                               "expected a non-negative integer of seconds (or a string holding one), got " +
                                   KindName(value));
        }
        settings.attributes[name] = *number;
    }
    out.settings.types[typeName] = std::move(settings);
    out.types[typeName] = std::move(definition);
    return true;
}

bool LoadResourceSection(const Reporter& report, const std::string& resourceName, const toml::node& node,
                         HostConfig& out) {
    const std::string key = "resources." + resourceName;
    const toml::table* table = node.as_table();
    if (table == nullptr) return report.Fail(key, &node, "expected a table, got " + KindName(node));
    if (!IsValidName(resourceName)) {
        return report.Fail(
            key, &node,
            "a resource name is 1 to 128 letters, digits, '_', '-' or '.', not starting with '.'");
    }
    const toml::node* typeNode = table->get("type");
    if (typeNode == nullptr) return report.Fail(key + ".type", &node, "missing (the resource's type)");
    if (!typeNode->is_string())
        return report.Fail(key + ".type", typeNode, "expected a string, got " + KindName(*typeNode));
    std::string typeName(typeNode->as_string()->get());
    auto type = out.types.find(typeName);
    if (type == out.types.end()) {
        return report.Fail(key + ".type", typeNode,
                           "unknown type '" + typeName + "' (no [types." + typeName + "] section)");
    }
    ResourceConfig resource;
    resource.name = resourceName;
    resource.type = typeName;
    for (const auto& [attrKey, value] : *table) {
        std::string name(attrKey.str());
        if (name == "type") continue;
        const ArgumentDef* argument = nullptr;
        for (const ArgumentDef& candidate : type->second.arguments) {
            if (candidate.name == name) argument = &candidate;
        }
        if (argument == nullptr) {
            return report.Fail(key + "." + name, &value, "unknown attribute of type " + typeName);
        }
        std::string problem;
        if (!ValueOf(value, argument->kind, resource.values[name], problem)) {
            return report.Fail(key + "." + name, &value, problem);
        }
    }
    out.settings.resources[resourceName] = ResourceSettings{typeName};
    out.resources[resourceName] = std::move(resource);
    return true;
}

}  // namespace

bool IsValidName(const std::string& name) {
    if (name.empty() || name.size() > 128 || name[0] == '.') return false;
    for (unsigned char c : name) {
        if (!isalnum(c) && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

std::string ChooseConfigPath(const std::string& fromCommandLine) {
    if (!fromCommandLine.empty()) return fromCommandLine;
    if (const char* env = getenv("CAIRN_CONFIG"); env != nullptr && *env != '\0') return env;
    return kDefaultConfig;
}

bool LoadTypeDefinition(const std::string& path, TypeDefinition& out, std::string& error) {
    toml::table root;
    if (!ParseFile(path, root, error)) return false;
    Reporter report{path, &error};
    out = TypeDefinition{};
    out.file = path;
    for (const auto& [key, value] : root) {
        std::string name(key.str());
        if (name != "name" && name != "library" && name != "type_attributes" && name != "argument" &&
            name != "programs" && name != "shortdesc" && name != "longdesc") {
            return report.Fail(name, &value, "unknown key");
        }
    }
    const toml::node* name = root.get("name");
    if (name == nullptr || !name->is_string() || !IsValidName(std::string(name->as_string()->get()))) {
        return report.Fail("name", name, "missing or not a valid type name");
    }
    out.name = name->as_string()->get();
    const toml::node* library = root.get("library");
    if (library == nullptr || !library->is_string() || library->as_string()->get().empty()) {
        return report.Fail("library", library, "missing or not a string (the agent library's file name)");
    }
    out.library = Resolve(DirName(path), std::string(library->as_string()->get()));
    if (const toml::node* attributes = root.get("type_attributes")) {
        if (!attributes->is_table()) return report.Fail("type_attributes", attributes, "expected a table");
        for (const auto& [key, value] : *attributes->as_table()) {
            auto number = IntegerOf(value);
            if (!number)
                return report.Fail("type_attributes." + std::string(key.str()), &value,
                                   "expected an integer");
            out.typeAttributes[std::string(key.str())] = *number;
        }
    }
    if (const toml::node* programs = root.get("programs")) {
        if (!LoadPrograms(report, *programs, out.programs)) return false;
    }
    for (auto [key, field] : {std::pair{"shortdesc", &out.shortDesc}, std::pair{"longdesc", &out.longDesc}}) {
        if (const toml::node* text = root.get(key)) {
            if (!text->is_string()) return report.Fail(key, text, "expected a string");
            *field = text->as_string()->get();
        }
    }
    const toml::node* arguments = root.get("argument");
    if (arguments == nullptr || !arguments->is_array_of_tables()) {
        return report.Fail("argument", arguments, "missing or not an array of tables ([[argument]])");
    }
    size_t index = 0;
    for (const toml::node& entry : *arguments->as_array()) {
        const std::string key = "argument[" + std::to_string(index++) + "]";
        const toml::table& table = *entry.as_table();
        ArgumentDef argument;
        const toml::node* argName = table.get("name");
        if (argName == nullptr || !argName->is_string() || argName->as_string()->get().empty()) {
            return report.Fail(key + ".name", &entry, "missing or not a string");
        }
        argument.name = argName->as_string()->get();
        for (const ArgumentDef& earlier : out.arguments) {
            if (earlier.name == argument.name)
                return report.Fail(key + ".name", argName, "duplicate " + argument.name);
        }
        const toml::node* kind = table.get("kind");
        std::string kindText =
            kind != nullptr && kind->is_string() ? std::string(kind->as_string()->get()) : "";
        if (kindText == "string") {
            argument.kind = ArgKind::String;
        } else if (kindText == "integer") {
            argument.kind = ArgKind::Integer;
        } else if (kindText == "list") {
            argument.kind = ArgKind::List;
        } else {
            return report.Fail(key + ".kind", kind != nullptr ? kind : &entry,
                               "expected \"string\", \"integer\" or \"list\"");
        }
        if (const toml::node* defaultValue = table.get("default")) {
            std::string problem;
            if (!ValueOf(*defaultValue, argument.kind, argument.defaultValue, problem)) {
                return report.Fail(key + ".default", defaultValue, problem);
            }
        } else if (argument.kind != ArgKind::List) {
            argument.defaultValue.push_back(argument.kind == ArgKind::Integer ? "0" : "");
        }
        for (auto [field, text] :
             {std::pair{"shortdesc", &argument.shortDesc}, std::pair{"longdesc", &argument.longDesc},
              std::pair{"content", &argument.content}}) {
            if (const toml::node* value = table.get(field)) {
                if (!value->is_string()) return report.Fail(key + "." + field, value, "expected a string");
                *text = value->as_string()->get();
            }
        }
        for (auto [field, flag] :
             {std::pair{"required", &argument.required}, std::pair{"unique", &argument.unique}}) {
            if (const toml::node* value = table.get(field)) {
                if (!value->is_boolean())
                    return report.Fail(key + "." + field, value, "expected true or false");
                *flag = value->as_boolean()->get();
            }
        }
        out.arguments.push_back(std::move(argument));
    }
    return true;
}

bool LoadConfig(const std::string& path, const std::string& exeDir, HostConfig& out, std::string& error) {
    toml::table root;
    if (!ParseFile(path, root, error)) return false;
    Reporter report{path, &error};
    out = HostConfig{};
    out.file = path;
    const std::string configDir = DirName(path);
    out.settings.stateDir = "/var/lib/cairn";
    out.settings.logDir = "/var/log/cairn";

    for (const auto& [key, value] : root) {
        std::string name(key.str());
        if (name != "cluster" && name != "types" && name != "resources") {
            return report.Fail(name, &value, "unknown section (expected cluster, types or resources)");
        }
        if (!value.is_table()) return report.Fail(name, &value, "expected a table, got " + KindName(value));
    }
    if (const toml::table* cluster = root["cluster"].as_table()) {
        for (const auto& [key, value] : *cluster) {
            std::string name(key.str());
            if (name == "service_manager") {
                const std::string* v = value.is_string() ? &value.as_string()->get() : nullptr;
                if (v == nullptr || (*v != "embedded" && *v != "systemd" && *v != "auto")) {
                    return report.Fail("cluster." + name, &value,
                                       "expected \"embedded\", \"systemd\" or \"auto\", got " +
                                           (v ? "\"" + *v + "\"" : KindName(value)));
                }
                out.serviceManager = *v;
                continue;
            }
            if (name != "state_dir" && name != "log_dir") {
                return report.Fail("cluster." + name, &value,
                                   "unknown key (expected state_dir, log_dir or service_manager)");
            }
            if (!value.is_string() || value.as_string()->get().empty()) {
                return report.Fail("cluster." + name, &value,
                                   "expected a non-empty string (a directory), got " +
                                       (value.is_string() ? std::string("an empty one") : KindName(value)));
            }
            std::string dir = Resolve(configDir, std::string(value.as_string()->get()));
            (name == "state_dir" ? out.settings.stateDir : out.settings.logDir) = dir;
        }
    }
    if (const toml::table* types = root["types"].as_table()) {
        for (const auto& [key, value] : *types) {
            if (!LoadTypeSection(report, configDir, exeDir, std::string(key.str()), value, out)) return false;
        }
    }
    if (const toml::table* resources = root["resources"].as_table()) {
        for (const auto& [key, value] : *resources) {
            if (!LoadResourceSection(report, std::string(key.str()), value, out)) return false;
        }
    }
    return true;
}

TypeSettings TypeSettingsOf(const TypeDefinition& type) {
    TypeSettings settings;
    settings.attributes = type.typeAttributes;
    settings.programs = type.programs;
    return settings;
}

std::vector<std::string> BuildArguments(const TypeDefinition& type, const ResourceConfig& resource) {
    std::vector<std::string> out;
    for (const ArgumentDef& argument : type.arguments) {
        auto given = resource.values.find(argument.name);
        const std::vector<std::string>& value =
            given != resource.values.end() ? given->second : argument.defaultValue;
        if (argument.kind == ArgKind::List) out.push_back(std::to_string(value.size()));
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

}  // namespace cairn::host
