// Cluster API (cairnapi_mt) as the agent uses it. Implemented by the stand-in framework in cairn/.
// Every call is safe from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Opaque handles. Null means failure; the API's last error then says why.
typedef struct CairnCluster* CairnClusterHandle;
typedef struct CairnRegistration* CairnRegHandle;

// Error record of the last failed call on the calling thread. Layout: number at byte 4, error code at
// byte 8, NUL-terminated multibyte message at byte 16. Owned by the caller, freed with CairnFreeError.
struct CairnError {
    int32_t kind;
    int32_t number;
    uint32_t code;
    uint32_t reserved;
    char message[240];
};
static_assert(offsetof(CairnError, number) == 4 && offsetof(CairnError, code) == 8 &&
                  offsetof(CairnError, message) == 16,
              "error record layout");

// Attribute record. An integer value is reached as record->values (byte 16) -> first (byte 0)
// -> data (byte 8) -> value. Owned by the caller, freed with CairnFreeAttr.
struct CairnAttrInt {
    int32_t value;
};
struct CairnAttrValue {
    uint64_t kind;  // 1 integer, 2 string
    CairnAttrInt* data;
    char* text;  // set for kind 2
};
struct CairnAttrValueList {
    CairnAttrValue* first;
    size_t count;
};
struct CairnAttr {
    char* name;
    uint64_t reserved;
    CairnAttrValueList* values;
};
static_assert(offsetof(CairnAttr, values) == 16 && offsetof(CairnAttrValueList, first) == 0 &&
                  offsetof(CairnAttrValue, data) == 8,
              "attribute record layout");

// Change callback of CairnObjRegister: only the fourth argument (an attribute record or null) is
// meaningful; the record is owned by the framework for the length of the call. Returns 0.
typedef int (*CairnObjCallback)(void* context, void* object, void* attrName, CairnAttr* record);

// Returns 0 on success.
int CairnApiInit(uint32_t flags, uint32_t reserved);
// Returns 0 on success.
int CairnApiExit(uint32_t flags);
// Returns the cluster handle, or null (see CairnApiGetLastError).
CairnClusterHandle CairnClusterOpenLocal(uint32_t waitMs, uint32_t flags);
// Returns 0 on success; the handle is invalid afterwards either way.
int CairnClusterClose(CairnClusterHandle handle, uint32_t flags);
// Reads an attribute of an object (objectType 4: a resource type). Returns 0 and a record in *out.
int CairnObjGetAttribute(CairnClusterHandle handle, uint32_t objectType, const char* objectName,
                         const char* attrName, uint32_t flags, CairnAttr** out, uint32_t reserved);
// Registers a change callback. Returns the registration handle, or null.
CairnRegHandle CairnObjRegister(CairnClusterHandle handle, uint32_t objectType, const char* objectName,
                                const char* attrName, uint32_t events, CairnObjCallback callback,
                                uint32_t flags);
// Returns 0 on success; the handle is invalid afterwards either way.
int CairnObjUnRegister(CairnRegHandle registration, uint32_t flags);
// Type name of a resource in *typeName (freed with CairnFreeStr). Returns 0 on success.
int CairnResGetType(CairnClusterHandle handle, const char* resourceName, char** typeName, uint32_t flags);
// Error record of the calling thread's last failure, never null. Freed with CairnFreeError.
CairnError* CairnApiGetLastError(void);
void CairnFreeError(CairnError* error);
void CairnFreeAttr(CairnAttr* attr);
void CairnFreeStr(char* str);

// Integer of an attribute record, following the documented pointer chain.
static inline int32_t CairnAttrGetInt(const CairnAttr* attr) {
    return attr->values->first->data->value;
}

}  // extern "C"
