// The cluster-API operations of framework/CairnApi.h.
#include "CairnApi.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "CairnState.h"
#include "LibError.h"

using namespace cairn;
using namespace cairn::detail;

namespace {

struct ErrorRecord {
    int32_t number = 0;
    uint32_t code = 0;
    std::string message = "The operation completed successfully.";
};

thread_local ErrorRecord tError;

// Checked with State::mu held.
bool ValidCluster(State& state, CairnClusterHandle handle, const char* operation) {
    if (state.initCount <= 0) {
        SetError(
            kErrNotInitialised, TERN_ERROR_INVALID_FUNCTION,
            std::string(operation) + ": the cluster API is not initialised (CairnApiInit was not called).");
        return false;
    }
    if (handle == nullptr || state.clusters.count(handle) == 0) {
        SetError(kErrInvalidHandle, TERN_ERROR_INVALID_HANDLE,
                 std::string(operation) + ": the cluster handle is not open.");
        return false;
    }
    return true;
}

// Finds a type attribute; sets the error record and returns null when the object or the attribute is unknown.
const int32_t* FindTypeAttribute(State& state, uint32_t objectType, const char* objectName,
                                 const char* attrName, const char* operation) {
    if (objectType != 4) {
        SetError(kErrUnsupported, TERN_ERROR_NOT_SUPPORTED,
                 std::string(operation) + ": object type " + std::to_string(objectType) +
                     " is not supported (only 4, resource types).");
        return nullptr;
    }
    if (objectName == nullptr || attrName == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER,
                 std::string(operation) + ": null object or attribute name.");
        return nullptr;
    }
    auto type = state.settings.types.find(objectName);
    if (type == state.settings.types.end()) {
        SetError(kErrUnknownObject, kCodeNotFound,
                 std::string(operation) + ": resource type '" + objectName + "' is not configured.");
        return nullptr;
    }
    auto attribute = type->second.attributes.find(attrName);
    if (attribute == type->second.attributes.end()) {
        SetError(kErrUnknownObject, kCodeNotFound,
                 std::string(operation) + ": resource type '" + objectName + "' has no attribute '" +
                     attrName + "'.");
        return nullptr;
    }
    return &attribute->second;
}

}  // namespace

namespace cairn::detail {

void SetError(int32_t number, uint32_t code, std::string_view message) {
    tError.number = number;
    tError.code = code;
    tError.message.assign(message.substr(0, sizeof(CairnError::message) - 1));
}

CairnAttr* MakeIntAttr(const std::string& name, int32_t value) {
    auto* attr = static_cast<CairnAttr*>(calloc(1, sizeof(CairnAttr)));
    if (attr == nullptr) return nullptr;
    attr->name = strdup(name.c_str());
    attr->values = static_cast<CairnAttrValueList*>(calloc(1, sizeof(CairnAttrValueList)));
    if (attr->values != nullptr) {
        attr->values->first = static_cast<CairnAttrValue*>(calloc(1, sizeof(CairnAttrValue)));
        if (attr->values->first != nullptr) {
            attr->values->count = 1;
            attr->values->first->kind = 1;
            attr->values->first->data = static_cast<CairnAttrInt*>(calloc(1, sizeof(CairnAttrInt)));
        }
    }
    if (attr->name == nullptr || attr->values == nullptr || attr->values->first == nullptr ||
        attr->values->first->data == nullptr) {
        CairnFreeAttr(attr);
        return nullptr;
    }
    attr->values->first->data->value = value;
    return attr;
}

}  // namespace cairn::detail

extern "C" {

int CairnApiInit(uint32_t flags, uint32_t reserved) {
    (void)flags;
    (void)reserved;
    State& state = GetState();
    std::lock_guard lock(state.mu);
    ++state.initCount;
    return 0;
}

int CairnApiExit(uint32_t flags) {
    (void)flags;
    State& state = GetState();
    std::lock_guard lock(state.mu);
    if (state.initCount <= 0) {
        SetError(kErrNotInitialised, TERN_ERROR_INVALID_FUNCTION,
                 "CairnApiExit: the cluster API is not initialised.");
        return 1;
    }
    if (--state.initCount == 0) {
        // Cookie copies the agent never freed die with the API session.
        std::lock_guard cookieLock(state.cookieMu);
        for (void* copy : state.cookieCopies) free(copy);
        state.cookieCopies.clear();
    }
    return 0;
}

CairnClusterHandle CairnClusterOpenLocal(uint32_t waitMs, uint32_t flags) {
    (void)waitMs;
    (void)flags;
    State& state = GetState();
    std::lock_guard lock(state.mu);
    if (state.initCount <= 0) {
        SetError(kErrNotInitialised, TERN_ERROR_INVALID_FUNCTION,
                 "CairnClusterOpenLocal: the cluster API is not initialised (CairnApiInit was not called).");
        return nullptr;
    }
#ifdef KESTREL_TEST_HOOKS
    if (state.faults.openFails > 0) {
        --state.faults.openFails;
        SetError(kErrUnavailable, kCodeServerUnavailable,
                 "The cluster service is not available (injected fault, " +
                     std::to_string(state.faults.openFails) + " more to come).");
        return nullptr;
    }
#endif
    auto cluster = std::make_unique<CairnCluster>(CairnCluster{state.nextSerial++});
    CairnCluster* handle = cluster.get();
    state.clusters.emplace(handle, std::move(cluster));
    return handle;
}

int CairnClusterClose(CairnClusterHandle handle, uint32_t flags) {
    (void)flags;
    State& state = GetState();
    std::lock_guard lock(state.mu);
    if (handle == nullptr || state.clusters.erase(handle) == 0) {
        SetError(kErrInvalidHandle, TERN_ERROR_INVALID_HANDLE,
                 "CairnClusterClose: the cluster handle is not open.");
        return 1;
    }
    return 0;
}

int CairnObjGetAttribute(CairnClusterHandle handle, uint32_t objectType, const char* objectName,
                         const char* attrName, uint32_t flags, CairnAttr** out, uint32_t reserved) {
    (void)flags;
    (void)reserved;
    if (out == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER, "CairnObjGetAttribute: null result.");
        return 1;
    }
    *out = nullptr;
    State& state = GetState();
    std::lock_guard lock(state.mu);
    if (!ValidCluster(state, handle, "CairnObjGetAttribute")) return 1;
    const int32_t* value = FindTypeAttribute(state, objectType, objectName, attrName, "CairnObjGetAttribute");
    if (value == nullptr) return 1;
#ifdef KESTREL_TEST_HOOKS
    if (state.faults.attributeRead == attrName) {
        SetError(kErrInjected, TERN_ERROR_INTERNAL_ERROR,
                 std::string("Reading attribute ") + attrName + " failed (injected fault).");
        return 1;
    }
#endif
    *out = MakeIntAttr(attrName, *value);
    if (*out == nullptr) {
        SetError(kErrNoMemory, TERN_ERROR_NOT_ENOUGH_MEMORY, "CairnObjGetAttribute: out of memory.");
        return 1;
    }
    return 0;
}

CairnRegHandle CairnObjRegister(CairnClusterHandle handle, uint32_t objectType, const char* objectName,
                                const char* attrName, uint32_t events, CairnObjCallback callback,
                                uint32_t flags) {
    (void)events;
    (void)flags;
    State& state = GetState();
    std::lock_guard lock(state.mu);
    if (!ValidCluster(state, handle, "CairnObjRegister")) return nullptr;
    if (FindTypeAttribute(state, objectType, objectName, attrName, "CairnObjRegister") == nullptr)
        return nullptr;
    if (callback == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER, "CairnObjRegister: null callback.");
        return nullptr;
    }
#ifdef KESTREL_TEST_HOOKS
    if (state.faults.registration == attrName) {
        SetError(kErrInjected, TERN_ERROR_INTERNAL_ERROR,
                 std::string("Registering for changes of ") + attrName + " failed (injected fault).");
        return nullptr;
    }
#endif
    auto registration =
        std::make_unique<CairnRegistration>(CairnRegistration{objectName, attrName, callback});
    CairnRegistration* out = registration.get();
    state.registrations.emplace(out, std::move(registration));
    return out;
}

int CairnObjUnRegister(CairnRegHandle registration, uint32_t flags) {
    (void)flags;
    State& state = GetState();
    std::lock_guard lock(state.mu);
    if (registration == nullptr || state.registrations.erase(registration) == 0) {
        SetError(kErrInvalidHandle, TERN_ERROR_INVALID_HANDLE,
                 "CairnObjUnRegister: the registration is not live.");
        return 1;
    }
    return 0;
}

int CairnResGetType(CairnClusterHandle handle, const char* resourceName, char** typeName, uint32_t flags) {
    (void)flags;
    if (typeName == nullptr || resourceName == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER,
                 "CairnResGetType: null resource name or result.");
        return 1;
    }
    *typeName = nullptr;
    State& state = GetState();
    std::unique_lock lock(state.mu);
    if (!ValidCluster(state, handle, "CairnResGetType")) return 1;
    std::string type;
    auto resource = state.settings.resources.find(resourceName);
    if (resource != state.settings.resources.end()) {
        type = resource->second.type;
    } else if (ResourceTypeResolver resolver = state.resolver) {
        // The host's cluster may know more resources than its settings; asking it can take time, so not
        // under the lock.
        lock.unlock();
        std::string problem;
        std::optional<std::string> found = resolver(resourceName, problem);
        if (!found) {
            SetError(kErrUnavailable, kCodeServerUnavailable,
                     std::string("CairnResGetType: resource '") + resourceName + "': " + problem);
            return 1;
        }
        type = *found;
    }
    if (type.empty()) {
        SetError(kErrUnknownObject, kCodeNotFound,
                 std::string("CairnResGetType: resource '") + resourceName + "' is not configured.");
        return 1;
    }
    *typeName = strdup(type.c_str());
    if (*typeName == nullptr) {
        SetError(kErrNoMemory, TERN_ERROR_NOT_ENOUGH_MEMORY, "CairnResGetType: out of memory.");
        return 1;
    }
    return 0;
}

CairnError* CairnApiGetLastError(void) {
    // Never null: when even this allocation fails, a static record (kind -1, ignored by CairnFreeError) says
    // so.
    static CairnError outOfMemory{-1, kErrNoMemory, TERN_ERROR_NOT_ENOUGH_MEMORY, 0, "Out of memory."};
    auto* record = static_cast<CairnError*>(calloc(1, sizeof(CairnError)));
    if (record == nullptr) return &outOfMemory;
    record->number = tError.number;
    record->code = tError.code;
    memcpy(record->message, tError.message.c_str(), tError.message.size() + 1);
    return record;
}

void CairnFreeError(CairnError* error) {
    if (error == nullptr || error->kind == -1) return;
    free(error);
}

void CairnFreeAttr(CairnAttr* attr) {
    if (attr == nullptr) return;
    if (attr->values != nullptr) {
        for (size_t i = 0; attr->values->first != nullptr && i < attr->values->count; ++i) {
            free(attr->values->first[i].data);
            free(attr->values->first[i].text);
        }
        free(attr->values->first);
        free(attr->values);
    }
    free(attr->name);
    free(attr);
}

void CairnFreeStr(char* str) {
    free(str);
}

}  // extern "C"
