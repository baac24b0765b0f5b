// A tiny agent for testing the host without the real one. At startup it reads the type's four timeouts
// through the cluster API; it keeps the resource state in a cookie, so host runs can be chained.
//
// Argument 0 (SAPSID) selects behaviour: "UNK" makes Monitor answer unknown, "CON" makes Online write a
// console message. Argument 3 (SAPHome) is echoed verbatim in Online's message (for escaping tests).
#include <cwchar>
#include <string>

#include "CairnAgfw.h"
#include "CairnApi.h"

namespace {

CairnClusterHandle gCluster = nullptr;
int32_t gTimeouts[4] = {600, 600, 60, 120};

// The first count decoded arguments; false when they cannot be decoded.
bool Decode(CairnArgVector args, std::wstring* out, size_t count) {
    wchar_t** list = nullptr;
    if (CairnAgGetEncodedArgList(0, args, 1, &list) != 0) return false;
    for (size_t i = 0; i < count && list[i] != nullptr; ++i) out[i] = list[i];
    CairnAgDelEncodedArgList(list);
    return true;
}

void StoreState(const char* resource, const wchar_t* state) {
    auto* value = static_cast<wchar_t*>(malloc((wcslen(state) + 1) * sizeof(wchar_t)));
    wcscpy(value, state);
    CairnAgSetCookie((std::string(resource) + "_fake_state").c_str(), value);
}

uint32_t FakeMonitor(const char* resource, CairnArgVector args, int32_t*) {
    std::wstring values[1];
    if (!Decode(args, values, 1) || values[0] == L"UNK") return 2;
    auto* cookie = static_cast<wchar_t*>(CairnAgGetCookie((std::string(resource) + "_fake_state").c_str()));
    const uint32_t state = cookie != nullptr && std::wstring(cookie) == L"1" ? 1 : 0;
    CairnAgDeleteMem(cookie);
    CairnAgLogMsg2(4, "FakeMonitor", __FILE__, __LINE__, 20020, 0, L"Monitor: timeout [%d], state [%u].",
                   gTimeouts[2], state);
    return state;
}

uint32_t FakeOnline(const char* resource, CairnArgVector args) {
    std::wstring values[4];
    if (!Decode(args, values, 4)) return 0;
    CairnAgResLogMsg2(19, "FakeOnline", __FILE__, __LINE__, 0, L"Online trace line.");
    CairnAgResLogMsg2(20, "FakeOnline", __FILE__, __LINE__, 512, L"Online dump line.");
    if (values[0] == L"CON")
        CairnAgLogConsoleMsg2(2, "FakeOnline", __FILE__, __LINE__, 20012, 0, L"Console says hi.");
    StoreState(resource, L"1");
    CairnAgLogMsg2(4, "FakeOnline", __FILE__, __LINE__, 20011, 0, L"%s", values[3]);
    return 0;
}

uint32_t FakeOffline(const char* resource, CairnArgVector) {
    StoreState(resource, L"0");
    return 0;
}

uint32_t FakeClean(const char*, uint32_t reason, CairnArgVector) {
    return reason;  // lets tests choose the result
}

void FakeShutdown() {
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
    gCluster = CairnClusterOpenLocal(0xFFFFFFFF, 0);
    const char* const names[4] = {"OnlineTimeout", "OfflineTimeout", "MonitorTimeout", "CleanTimeout"};
    for (int i = 0; i < 4 && gCluster != nullptr; ++i) {
        CairnAttr* record = nullptr;
        if (CairnObjGetAttribute(gCluster, 4, "Kestrel", names[i], 0, &record, 0) != 0) return;
        gTimeouts[i] = CairnAttrGetInt(record);
        CairnFreeAttr(record);
    }
    CairnAgLogMsg2(4, "FakeStartup", __FILE__, __LINE__, 20010, 0, L"Started with timeouts [%d, %d, %d, %d].",
                   gTimeouts[0], gTimeouts[1], gTimeouts[2], gTimeouts[3]);
}
