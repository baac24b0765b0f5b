// Asking Pacemaker's configuration (the live CIB, or the file CIB_file names) for a resource's type, so the
// agent's check of EnqSrvResName sees the cluster's resources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cairn::ocf {

// The framework type name of the Pacemaker resource: typeName when it is an OCF resource of that type (any
// provider), "ocf:PROVIDER:TYPE" (or its class) for another kind, empty when the configuration has no such
// primitive, nullopt with problem set when cibadmin could not answer within limitMs real milliseconds.
std::optional<std::string> CibResourceType(const std::string& resource, const std::string& typeName,
                                           uint64_t limitMs, std::string& problem);

}  // namespace cairn::ocf
