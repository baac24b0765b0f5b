// The SAP instance types, parsed once from the InstType attribute.
#pragma once

#include <string>

enum class KestrelInstType {
    kUnknown,  // empty or not one of the keywords
    kCentral,
    kDialog,
    kEnqueue,
    kEnqrep,
    kAenqueue,
    kAenqrep,
    kJenqueue,
    kJenqrep,
};

// The type named by an InstType keyword, case-insensitive ("central", "enqrep", ...); kUnknown otherwise.
KestrelInstType KestrelParseInstType(const std::wstring& keyword);
// The stored (upper-case) form of a type, as traces and messages print it; empty for kUnknown.
const wchar_t* KestrelInstTypeName(KestrelInstType type);

// Central or dialog instance (the types that have an architecture).
inline bool KestrelIsCentralOrDialog(KestrelInstType t) {
    return t == KestrelInstType::kCentral || t == KestrelInstType::kDialog;
}
// A standalone enqueue server of any stack: enqueue, aenqueue, jenqueue.
inline bool KestrelIsEnqueueServer(KestrelInstType t) {
    return t == KestrelInstType::kEnqueue || t == KestrelInstType::kAenqueue ||
           t == KestrelInstType::kJenqueue;
}
// An enqueue replication server of any stack: enqrep, aenqrep, jenqrep.
inline bool KestrelIsEnqueueReplication(KestrelInstType t) {
    return t == KestrelInstType::kEnqrep || t == KestrelInstType::kAenqrep || t == KestrelInstType::kJenqrep;
}
// Either of the two above: the types without an architecture.
inline bool KestrelIsStandaloneEnqueue(KestrelInstType t) {
    return KestrelIsEnqueueServer(t) || KestrelIsEnqueueReplication(t);
}
// The types whose processes may also run from the SID's SYS directory.
inline bool KestrelMayRunFromSys(KestrelInstType t) {
    return t == KestrelInstType::kCentral || KestrelIsEnqueueServer(t);
}
