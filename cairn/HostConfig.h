// Configuration of the host: the cluster file (cluster.toml) and the agents' type definitions
// (<Type>.type.toml). Errors come back as one line naming the file, the key and the problem.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CairnHost.h"

namespace cairn::host {

enum class ArgKind { String, Integer, List };

// One attribute of a type, in argument-list order. Values are kept as texts: a string is one entry, an
// integer one decimal entry, a list any number of entries.
struct ArgumentDef {
    std::string name;
    ArgKind kind = ArgKind::String;
    std::vector<std::string> defaultValue;
    // What a cluster's description of the type shows (OCF meta-data): one line and a longer text, whether
    // the value must be given and must differ between resources, and the content type ("string",
    // "integer", "boolean", "time"; empty: from the kind).
    std::string shortDesc;
    std::string longDesc;
    bool required = false;
    bool unique = false;
    std::string content;
};

struct TypeDefinition {
    std::string name;
    std::string file;                               // the .type.toml it came from
    std::string library;                            // absolute path of the agent library
    std::map<std::string, int32_t> typeAttributes;  // defaults of the type attributes
    std::vector<ArgumentDef> arguments;
    std::string shortDesc;  // one line about the type
    std::string longDesc;   // a paragraph about the type
    // [programs]: the names under which the agent runs or looks for each of its programs, by key (a string
    // or an array of strings in the file; never empty). Keys it does not give keep the agent's defaults.
    std::map<std::string, std::vector<std::string>> programs;
};

struct ResourceConfig {
    std::string name;
    std::string type;
    std::map<std::string, std::vector<std::string>> values;  // only those given in the file
};

struct HostConfig {
    std::string file;
    FrameworkSettings settings;  // what the framework gets
    // [cluster] service_manager: "embedded", "systemd", "auto", or empty when not given. The host hands it
    // to the platform layer in CAIRN_SERVICE_MANAGER.
    std::string serviceManager;
    std::map<std::string, TypeDefinition> types;
    std::map<std::string, ResourceConfig> resources;
};

// --config value when given, else $CAIRN_CONFIG, else /etc/cairn/cluster.toml.
std::string ChooseConfigPath(const std::string& fromCommandLine);

// Loads and checks the whole file, finding each type's definition in the type's agent_dir, then
// <exeDir>/../lib, then /usr/lib/cairn/agents. Returns false with *error set to one line on any problem.
bool LoadConfig(const std::string& path, const std::string& exeDir, HostConfig& out, std::string& error);

// Loads one type definition file. Returns false with *error set to one line on any problem.
bool LoadTypeDefinition(const std::string& path, TypeDefinition& out, std::string& error);

// What the framework serves for a type straight from its definition: the type attributes' defaults and the
// [programs] table (no debug tags). Hosts that configure the framework without a cluster file start from it.
TypeSettings TypeSettingsOf(const TypeDefinition& type);

// The argument vector texts of a resource: its values (or the defaults) in the type's order, a list as its
// count followed by its entries.
std::vector<std::string> BuildArguments(const TypeDefinition& type, const ResourceConfig& resource);

// True for names usable as resource and type names (and thus as file names): 1 to 128 of
// [A-Za-z0-9_.-], not starting with '.'.
bool IsValidName(const std::string& name);

}  // namespace cairn::host
