// A tiny agent for testing the framework and the host without the real one. It follows the real agent's
// startup and shutdown sequence (cluster open with retries, four timeouts, callbacks) and keeps the
// resource state in a cookie, so host runs can be chained.
//
// Argument 0 (SAPSID) selects behaviour: "UNK" makes Monitor answer unknown, "CON" makes Online write a
// console message. Argument 3 (SAPHome) is echoed verbatim in Online's message (for escaping tests).
#include <cwchar>
#include <string>

#include "CairnAgfw.h"
#include "CairnApi.h"

namespace {

CairnClusterHandle gCluster = nullptr;
const char* const kTimeoutNames[4] = {"OnlineTimeout", "OfflineTimeout", "MonitorTimeout", "CleanTimeout"};
int32_t gTimeouts[4] = {600, 600, 60, 120};
CairnRegHandle gRegistrations[4] = {};

template <int N>
int OnTimeoutChange(void*, void*, void*, CairnAttr* record) {
    if (record != nullptr) gTimeouts[N] = CairnAttrGetInt(record);
    return 0;
}
const CairnObjCallback kCallbacks[4] = {OnTimeoutChange<0>, OnTimeoutChange<1>, OnTimeoutChange<2>,
                                        OnTimeoutChange<3>};

void LogFailure(uint32_t id, const char* what, const char* name) {
    CairnError* error = CairnApiGetLastError();
    CairnAgLogMsg2(2, "FakeStartup", __FILE__, __LINE__, id, 0,
                   L"%S() for %S failed with error [%d, 0x%.08X] with message [%S].", what, name,
                   error->number, error->code, static_cast<const char*>(error->message));
    CairnFreeError(error);
}

// Decoded arguments, or empty on failure (after logging it).
bool Decode(CairnArgVector args, std::wstring* out, size_t count, const char* tag, uint32_t id) {
    wchar_t** list = nullptr;
    if (CairnAgGetEncodedArgList(0, args, 1, &list) != 0) {
        CairnAgLogMsg2(1, tag, __FILE__, __LINE__, id, 0, L"Failed to parse the argument list.");
        return false;
    }
    for (size_t i = 0; i < count && list[i] != nullptr; ++i) out[i] = list[i];
    CairnAgDelEncodedArgList(list);
    return true;
}

std::string CookieName(const char* resource) {
    return std::string(resource) + "_fake_state";
}

void StoreState(const char* resource, const wchar_t* state) {
    auto* value = static_cast<wchar_t*>(malloc((wcslen(state) + 1) * sizeof(wchar_t)));
    wcscpy(value, state);
    CairnAgSetCookie(CookieName(resource).c_str(), value);
}

uint32_t FakeMonitor(const char* resource, CairnArgVector args, int32_t*) {
    std::wstring values[4];
    if (!Decode(args, values, 4, "FakeMonitor", 20135)) return 2;
    if (values[0] == L"UNK") return 2;
    auto* cookie = static_cast<wchar_t*>(CairnAgGetCookie(CookieName(resource).c_str()));
    uint32_t state = cookie != nullptr && std::wstring(cookie) == L"1" ? 1 : 0;
    CairnAgDeleteMem(cookie);
    CairnAgLogMsg2(4, "FakeMonitor", __FILE__, __LINE__, 20020, 0, L"Monitor: timeout [%d], state [%u].",
                   gTimeouts[2], state);
    return state;
}

uint32_t FakeOnline(const char* resource, CairnArgVector args) {
    std::wstring values[4];
    if (!Decode(args, values, 4, "FakeOnline", 20131)) return 0;
    CairnAgResLogMsg2(19, "FakeOnline", __FILE__, __LINE__, 0, L"Online trace line.");
    CairnAgResLogMsg2(20, "FakeOnline", __FILE__, __LINE__, 512, L"Online dump line.");
    if (values[0] == L"CON")
        CairnAgLogConsoleMsg2(2, "FakeOnline", __FILE__, __LINE__, 20012, 0, L"Console says hi.");
    StoreState(resource, L"1");
    CairnAgLogMsg2(4, "FakeOnline", __FILE__, __LINE__, 20011, 0, L"%s", values[3]);
    return 0;
}

uint32_t FakeOffline(const char* resource, CairnArgVector args) {
    std::wstring values[1];
    if (!Decode(args, values, 1, "FakeOffline", 20133)) return 0;
    StoreState(resource, L"0");
    return 0;
}

uint32_t FakeClean(const char*, uint32_t reason, CairnArgVector) {
    CairnAgLogMsg2(3, "FakeClean", __FILE__, __LINE__, 20030, 0, L"Clean with reason [%u].", reason);
    return reason;  // lets tests choose the result
}

void FakeShutdown() {
    for (int i = 0; i < 4; ++i) {
        if (gRegistrations[i] != nullptr && CairnObjUnRegister(gRegistrations[i], 0) != 0) {
            LogFailure(20041, "CairnObjUnRegister", kTimeoutNames[i]);
        }
        gRegistrations[i] = nullptr;
    }
    if (gCluster != nullptr) CairnClusterClose(gCluster, 0);
    gCluster = nullptr;
    CairnApiExit(0);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void CairnAgStartup(void) {
    CairnAgSetLogCategory(55002);
    void* table[kCairnEPSlots] = {};
    table[3] = reinterpret_cast<void*>(FakeMonitor);
    table[4] = reinterpret_cast<void*>(FakeOnline);
    table[5] = reinterpret_cast<void*>(FakeOffline);
    table[8] = reinterpret_cast<void*>(FakeClean);
    table[9] = reinterpret_cast<void*>(FakeShutdown);
    CairnAgRegisterEPStruct(1, table);
    CairnApiInit(0, 0);
    CairnAgResLogMsg2(19, "CairnAgStartup", __FILE__, __LINE__, 0, L"Startup trace line.");
    for (int attempt = 0; attempt < 4 && gCluster == nullptr; ++attempt) {
        gCluster = CairnClusterOpenLocal(0xFFFFFFFF, 0);
        if (gCluster == nullptr) LogFailure(20001, "CairnClusterOpenLocal", "the cluster");
    }
    if (gCluster == nullptr) return;
    for (int i = 0; i < 4; ++i) {
        CairnAttr* record = nullptr;
        if (CairnObjGetAttribute(gCluster, 4, "Kestrel", kTimeoutNames[i], 0, &record, 0) != 0) {
            LogFailure(20002, "CairnObjGetAttribute", kTimeoutNames[i]);
            return;
        }
        gTimeouts[i] = CairnAttrGetInt(record);
        CairnFreeAttr(record);
    }
    for (int i = 0; i < 4; ++i) {
        gRegistrations[i] = CairnObjRegister(gCluster, 4, "Kestrel", kTimeoutNames[i], 7, kCallbacks[i], 0);
        if (gRegistrations[i] == nullptr) {
            LogFailure(20003, "CairnObjRegister", kTimeoutNames[i]);
            return;
        }
    }
    CairnAgLogMsg2(4, "FakeStartup", __FILE__, __LINE__, 20010, 0, L"Started with timeouts [%d, %d, %d, %d].",
                   gTimeouts[0], gTimeouts[1], gTimeouts[2], gTimeouts[3]);
}
