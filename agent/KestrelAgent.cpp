// The agent frame: startup, the entry points, shutdown and the process-wide entry-point timeouts.
#include "KestrelAgent.h"

#include <atomic>
#include <string>

#include "CairnAgfw.h"
#include "CairnApi.h"
#include "Kestrel.h"
#include "KestrelAttrib.h"
#include "KestrelLog.h"
#include "KestrelQuery.h"
#include "LibClock.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibWide.h"

#define KESTREL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Built at load, before startup installs it.
CKestrelLog& g_log = KestrelLogImpl();

std::atomic<CairnClusterHandle> g_cluster{nullptr};

// One of the four entry-point timeouts: a 32-bit word written by startup and by the cluster's change
// callback, read without a lock.
struct Timeout {
    const char* attribute;
    int32_t epCode;  // the entry point it serves
    std::atomic<uint32_t> seconds;
    CairnRegHandle registration;
    CairnObjCallback callback;
};

template <int I>
int TimeoutChanged(void*, void*, void*, CairnAttr* record);

Timeout g_timeouts[4] = {
    {"OnlineTimeout", KEP_ONLINE, 600, nullptr, &TimeoutChanged<0>},
    {"OfflineTimeout", KEP_OFFLINE, 600, nullptr, &TimeoutChanged<1>},
    {"MonitorTimeout", KEP_MONITOR, 60, nullptr, &TimeoutChanged<2>},
    {"CleanTimeout", KEP_CLEAN, 120, nullptr, &TimeoutChanged<3>},
};

template <int I>
int TimeoutChanged(void*, void*, void*, CairnAttr* record) {
    if (record != nullptr) g_timeouts[I].seconds.store(static_cast<uint32_t>(CairnAttrGetInt(record)));
    return 0;
}

// The calling thread's last cluster-API error, taken out of its record (which is freed).
struct ApiError {
    int32_t number = 0;
    uint32_t code = 0;
    std::wstring message;
};
ApiError TakeApiError() {
    ApiError e;
    if (CairnError* rec = CairnApiGetLastError()) {
        e.number = rec->number;
        e.code = rec->code;
        e.message = TernMbToWide(std::string_view(rec->message, strnlen(rec->message, sizeof rec->message)));
        CairnFreeError(rec);
    }
    return e;
}

constexpr uint32_t kClusterOpenRetries = 31;
constexpr uint32_t kClusterOpenRetryMs = 10000;

}  // namespace

// LoadTimeouts and KestrelShutdown stay outside the unnamed namespace (static, hidden by the export map), so
// their trace lines carry their plain names.
static void LoadTimeouts(CairnClusterHandle cluster, CKestrelStatus& status) {
    for (Timeout& t : g_timeouts) {
        CairnAttr* record = nullptr;
        if (CairnObjGetAttribute(cluster, 4, "Kestrel", t.attribute, 0, &record, 0) != 0) {
            ApiError e = TakeApiError();
            TERN_TRACE(L"CairnObjGetAttribute() for %S failed with error [%d, 0x%.08X] with message [%s].",
                       t.attribute, e.number, e.code, e.message);
            // The remaining timeouts keep their defaults and nothing is registered.
            return;
        }
        if (record != nullptr) {
            t.seconds.store(static_cast<uint32_t>(CairnAttrGetInt(record)));
            CairnFreeAttr(record);
        }
    }
    for (Timeout& t : g_timeouts) {
        t.registration = CairnObjRegister(cluster, 4, "Kestrel", t.attribute, 7, t.callback, 0);
        if (t.registration == nullptr) {
            ApiError e = TakeApiError();
            TERN_TRACE(L"CairnObjRegister() for %S failed with error [%d, 0x%.08X] with message [%s].",
                       t.attribute, e.number, e.code, e.message);
            status.Set(CKestrelStatus::kClusterApi, e.code);
            return;
        }
    }
}

namespace {

// Texts and codes of one resource entry point.
struct EntryPointInfo {
    const char* tag;
    int32_t code;
    uint32_t initialResult;
    TernFormatString<> validating;
    TernFormatString<> validated;
    TernFormatString<> success;
    uint32_t parseFailureId;
    TernFormatString<int32_t, uint32_t> parseFailure;
    uint32_t operationFailureId;
    TernFormatString<std::wstring, int32_t, uint32_t> operationFailure;
};

constexpr EntryPointInfo kOnlineEP{"KestrelOnline",
                                   KEP_ONLINE,
                                   0,
                                   L"Validating the arguments for Online.",
                                   L"Arguments validated successfully for Online.",
                                   L"Online successful.",
                                   20131,
                                   L"Failed to parse the argument list for Online [%d, 0x%.08X].",
                                   20132,
                                   L"Failed to online the resource %s [%d, 0x%.08X]."};
constexpr EntryPointInfo kOfflineEP{"KestrelOffline",
                                    KEP_OFFLINE,
                                    0,
                                    L"Validating the arguments for Offline.",
                                    L"Arguments validated successfully for Offline.",
                                    L"Offline successful.",
                                    20133,
                                    L"Failed to parse the argument list for Offline [%d, 0x%.08X].",
                                    20134,
                                    L"Failed to offline the resource %s [%d, 0x%.08X]."};
constexpr EntryPointInfo kMonitorEP{"KestrelMonitor",
                                    KEP_MONITOR,
                                    2,
                                    L"Validating the arguments for Monitor.",
                                    L"Arguments validated successfully for Monitor.",
                                    L"Monitor successful.",
                                    20135,
                                    L"Failed to parse the argument list for Monitor [%d, 0x%.08X].",
                                    20136,
                                    L"Failed to monitor the resource %s [%d, 0x%.08X]."};
constexpr EntryPointInfo kCleanEP{"KestrelClean",
                                  KEP_CLEAN,
                                  0,
                                  L"Validating the arguments for Clean.",
                                  L"Arguments validated successfully for Clean.",
                                  L"Clean successful.",
                                  20137,
                                  L"Failed to parse the argument list for Clean [%d, 0x%.08X].",
                                  20138,
                                  L"Failed to clean the resource %s [%d, 0x%.08X]."};

// The shape shared by the four resource entry points; op runs the CKestrel operation.
template <class Operation>
uint32_t RunEntryPoint(const EntryPointInfo& ep, const char* resourceName, CairnArgVector args,
                       Operation op) {
    TernLogonReuseScope logonReuse;  // one PAM log-on per account for the whole call
    TernThreadLogQueue& logger = TernLogger();
    logger.BeginThread();
    CKestrelStatus status;
    CKestrelAttrib attrib;
    uint32_t result = ep.initialResult;

    logger.Trace(__FILE__, __LINE__, ep.tag, ep.validating);
    attrib.Parse(status, ep.code, resourceName, args, true);
    attrib.LogArgs();
    if (status.IsFailure()) {
        KESTREL_LOG_TAG(ep.tag, KSEV_ERROR, ep.parseFailureId, ep.parseFailure, status.GetCode(),
                        status.GetError());
        logger.Trace(__FILE__, __LINE__, ep.tag, L"Failed to parse the argument list [%d, 0x%.08X].",
                     status.GetCode(), status.GetError());
        if (ep.code == KEP_MONITOR) result = 2;
    } else {
        logger.Trace(__FILE__, __LINE__, ep.tag, ep.validated);
        CKestrel kestrel;
        status = op(kestrel, attrib, result);
        if (status.IsFailure()) {
            KESTREL_LOG_TAG(ep.tag, KSEV_ERROR, ep.operationFailureId, ep.operationFailure,
                            attrib.GetResourceName(), status.GetCode(), status.GetError());
            logger.Trace(__FILE__, __LINE__, ep.tag, ep.operationFailure, attrib.GetResourceName(),
                         status.GetCode(), status.GetError());
        } else {
            logger.Trace(__FILE__, __LINE__, ep.tag, ep.success);
        }
    }
    const std::wstring& level = attrib.GetResLogLevel();
    if (status.IsFailure() || level == L"TRACE" || level == L"TRACETRACE") logger.Dump();
    logger.EndThread();
    return result;
}

uint32_t KestrelMonitor(const char* resourceName, CairnArgVector args, int32_t*) {
    return RunEntryPoint(
        kMonitorEP, resourceName, args,
        [](CKestrel& k, CKestrelAttrib& a, uint32_t& result) { return k.Monitor(a, result); });
}

uint32_t KestrelOnline(const char* resourceName, CairnArgVector args) {
    return RunEntryPoint(kOnlineEP, resourceName, args, [](CKestrel& k, CKestrelAttrib& a, uint32_t& result) {
        return k.Online(a, result);
    });
}

uint32_t KestrelOffline(const char* resourceName, CairnArgVector args) {
    return RunEntryPoint(
        kOfflineEP, resourceName, args,
        [](CKestrel& k, CKestrelAttrib& a, uint32_t& result) { return k.Offline(a, result); });
}

uint32_t KestrelClean(const char* resourceName, uint32_t reason, CairnArgVector args) {
    return RunEntryPoint(
        kCleanEP, resourceName, args,
        [reason](CKestrel& k, CKestrelAttrib& a, uint32_t& result) { return k.Clean(a, reason, result); });
}

}  // namespace

static void KestrelShutdown() {
    CKestrelStatus status;
    for (Timeout& t : g_timeouts) {
        if (t.registration == nullptr) continue;
        if (CairnObjUnRegister(t.registration, 0) != 0) {
            ApiError e = TakeApiError();
            TERN_TRACE(L"CairnObjUnRegister() for %S failed with error [%d, 0x%.08X] with message [%s].",
                       t.attribute, e.number, e.code, e.message);
            status.Set(CKestrelStatus::kClusterApi, e.code);
        }
        t.registration = nullptr;
    }
    if (CairnClusterHandle cluster = g_cluster.exchange(nullptr)) {
        if (CairnClusterClose(cluster, 0) != 0) {
            ApiError e = TakeApiError();
            TERN_TRACE(L"CairnClusterClose() failed with error [%d, 0x%.08X] with message [%s].", e.number,
                       e.code, e.message);
            status.Set(CKestrelStatus::kClusterApi, e.code);
        } else {
            TERN_TRACE(L"CairnClusterClose() Success.");
        }
    } else {
        TERN_TRACE(L"Cluster Handle NULL.");
    }
    if (CairnApiExit(0) != 0) {
        ApiError e = TakeApiError();
        TERN_TRACE(L"CairnApiExit() failed with error [%d, 0x%.08X] with message [%s].", e.number, e.code,
                   e.message);
        status.Set(CKestrelStatus::kClusterApi, e.code);
    } else {
        TERN_TRACE(L"CairnApiExit() Success.");
    }
    if (status.IsFailure()) TernLogger().Dump();
    TernLogger().EndThread();
}

CairnClusterHandle KestrelGetClusterHandle() {
    return g_cluster.load();
}

bool KestrelGetTimeout(int32_t epCode, uint32_t& seconds) {
    for (const Timeout& t : g_timeouts) {
        if (t.epCode != epCode) continue;
        seconds = t.seconds.load();
        return true;
    }
    return false;
}

KESTREL_EXPORT void CairnAgStartup(void) {
    CKestrelStatus status;
    TernThreadLogQueue& logger = TernLogger();
    logger.BeginThread();
    logger.SetLogImpl(&g_log);

    CairnAgSetLogCategory(kKestrelLogCategory);

    void* table[kCairnEPSlots] = {};
    table[3] = reinterpret_cast<void*>(&KestrelMonitor);
    table[4] = reinterpret_cast<void*>(&KestrelOnline);
    table[5] = reinterpret_cast<void*>(&KestrelOffline);
    table[8] = reinterpret_cast<void*>(&KestrelClean);
    table[9] = reinterpret_cast<void*>(&KestrelShutdown);
    CairnAgRegisterEPStruct(1, table);
    KestrelRegisterExtensions();

    if (CairnApiInit(0, 0) != 0) {
        ApiError e = TakeApiError();
        TERN_TRACE(L"Failed to initialize the CairnApiInit() with error [%d, 0x%.08X] with message [%s].",
                   e.number, e.code, e.message);
        status.Set(CKestrelStatus::kClusterApi, e.code);
    } else {
        TERN_TRACE(L"CairnApiInit() Success.");
    }

    CairnClusterHandle cluster = CairnClusterOpenLocal(0xFFFFFFFFu, 0);
    for (uint32_t retry = 0; cluster == nullptr; ++retry) {
        ApiError e = TakeApiError();
        TERN_TRACE(L"CairnClusterOpenLocal() failed with error [%d, 0x%.08X] with message [%s].", e.number,
                   e.code, e.message);
        status.Set(CKestrelStatus::kClusterApi, e.code);
        if (retry == kClusterOpenRetries) break;
        TernSleep(kClusterOpenRetryMs);
        cluster = CairnClusterOpenLocal(0xFFFFFFFFu, 0);
    }
    if (cluster != nullptr) {
        TERN_TRACE(L"CairnClusterOpenLocal() Success.");
        status.Clear();
        g_cluster.store(cluster);
        LoadTimeouts(cluster, status);
    }

    if (status.IsFailure()) logger.Dump();
    logger.EndThread();
}
