#include "FakeCairn.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "CairnAgfw.h"
#include "LibWide.h"

namespace fake_cairn {

State& Get() {
    static State s;
    return s;
}

void ResetWithTypeTimeouts() {
    Reset();
    Get().typeAttributes = {
        {"OnlineTimeout", 600}, {"OfflineTimeout", 600}, {"MonitorTimeout", 60}, {"CleanTimeout", 120}};
}

void Reset() {
    std::lock_guard<std::mutex> lock(Get().mutex);
    static_cast<Records&>(Get()) = Records{};
}

std::vector<LogMessage> MessagesWithId(uint32_t id) {
    std::lock_guard<std::mutex> lock(Get().mutex);
    std::vector<LogMessage> r;
    for (auto& m : Get().messages)
        if (m.id == id) r.push_back(m);
    return r;
}

std::vector<uint32_t> MessageIds() {
    std::lock_guard<std::mutex> lock(Get().mutex);
    std::vector<uint32_t> r;
    for (auto& m : Get().messages) r.push_back(m.id);
    return r;
}

std::vector<std::wstring> TraceLines() {
    std::lock_guard<std::mutex> lock(Get().mutex);
    std::vector<std::wstring> r;
    for (auto& l : Get().resLog)
        if (l.debugTag == 19) r.push_back(l.text);
    return r;
}

namespace {
thread_local CairnError t_error{};
void SetError(int32_t number, uint32_t code, const char* message) {
    t_error = CairnError{};
    t_error.number = number;
    t_error.code = code;
    std::snprintf(t_error.message, sizeof t_error.message, "%s", message);
}
wchar_t* DupWide(const std::wstring& s) {
    auto* p = static_cast<wchar_t*>(std::calloc(s.size() + 1, sizeof(wchar_t)));
    std::wmemcpy(p, s.c_str(), s.size());
    return p;
}
struct FakeCluster {};
FakeCluster g_cluster;
}  // namespace

}  // namespace fake_cairn

using namespace fake_cairn;

extern "C" {

int CairnAgRegisterEPStruct(uint32_t version, void* const* table) {
    if (version != 1) return 0;  // the host extensions are not the framework's table
    std::memcpy(Get().table, table, sizeof Get().table);
    return 0;
}
void CairnAgSetLogCategory(uint32_t) {}

int CairnAgEncodeString(uint32_t, const char* text, size_t, uint32_t, wchar_t** out, size_t* outLength) {
    if (Get().encodeStringResult) return Get().encodeStringResult;
    std::wstring w;
    if (!TernUtf8ToWide(text, w)) return 87;
    *out = DupWide(w);
    *outLength = w.size();
    return 0;
}

int CairnAgGetEncodedArgList(uint32_t, CairnArgVector args, uint32_t, wchar_t*** out) {
    size_t n = 0;
    while (args[n]) ++n;
    auto** list = static_cast<wchar_t**>(std::calloc(n + 1, sizeof(wchar_t*)));
    for (size_t i = 0; i < n; ++i) {
        std::wstring w;
        if (!TernUtf8ToWide(args[i], w)) {
            for (size_t k = 0; k < i; ++k) std::free(list[k]);
            std::free(list);
            return 1113;
        }
        list[i] = DupWide(w);
    }
    *out = list;
    return 0;
}

int CairnAgGetTypePrograms(const char*, wchar_t*** out) {
    std::lock_guard<std::mutex> lock(fake_cairn::Get().mutex);
    std::vector<const char*> texts;
    for (const std::string& t : fake_cairn::Get().typePrograms) texts.push_back(t.c_str());
    texts.push_back(nullptr);
    return CairnAgGetEncodedArgList(0, texts.data(), 0, out);
}

void CairnAgDelEncodedArgList(wchar_t** list) {
    if (!list) return;
    for (size_t i = 0; list[i]; ++i) std::free(list[i]);
    std::free(list);
}

void CairnAgDeleteMem(void* memory) {
    std::free(memory);
}

void* CairnAgGetCookie(const char* name) {
    std::lock_guard<std::mutex> lock(Get().mutex);
    auto it = Get().cookies.find(name);
    return it == Get().cookies.end() ? nullptr : DupWide(it->second);
}

void CairnAgSetCookie(const char* name, void* value) {
    std::lock_guard<std::mutex> lock(Get().mutex);
    Get().cookies[name] = static_cast<const wchar_t*>(value);
    std::free(value);
}

void CairnAgLogMsgText(uint32_t severity, const char* tag, const char*, uint32_t, uint32_t id, uint32_t flags,
                       const wchar_t* text) {
    std::lock_guard<std::mutex> lock(Get().mutex);
    Get().messages.push_back({severity, tag, id, text, flags});
}
void CairnAgLogConsoleMsgText(uint32_t severity, const char* tag, const char* path, uint32_t line,
                              uint32_t id, uint32_t flags, const wchar_t* text) {
    CairnAgLogMsgText(severity, tag, path, line, id, flags, text);
}
void CairnAgResLogMsg2(uint32_t debugTag, const char* function, const char* path, uint32_t line,
                       uint32_t flags, const wchar_t* text) {
    std::lock_guard<std::mutex> lock(Get().mutex);
    Get().resLog.push_back({debugTag, function, path, line, flags, text});
}

int CairnApiInit(uint32_t, uint32_t) {
    return 0;
}
int CairnApiExit(uint32_t) {
    return 0;
}
CairnClusterHandle CairnClusterOpenLocal(uint32_t, uint32_t) {
    ++Get().openAttempts;
    if (Get().openFailures > 0) {
        --Get().openFailures;
        SetError(5, 1722, "cluster unreachable");
        return nullptr;
    }
    return reinterpret_cast<CairnClusterHandle>(&g_cluster);
}
int CairnClusterClose(CairnClusterHandle, uint32_t) {
    return 0;
}

int CairnObjGetAttribute(CairnClusterHandle, uint32_t, const char*, const char* attr, uint32_t,
                         CairnAttr** out, uint32_t) {
    if (Get().failAttributeRead == attr) {
        SetError(7, 2, "attribute not readable");
        return 1;
    }
    auto it = Get().typeAttributes.find(attr);
    if (it == Get().typeAttributes.end()) {
        SetError(7, 1168, "no such attribute");
        return 1;
    }
    auto* v = static_cast<CairnAttrInt*>(std::calloc(1, sizeof(CairnAttrInt)));
    v->value = it->second;
    auto* val = static_cast<CairnAttrValue*>(std::calloc(1, sizeof(CairnAttrValue)));
    val->kind = 1;
    val->data = v;
    auto* list = static_cast<CairnAttrValueList*>(std::calloc(1, sizeof(CairnAttrValueList)));
    list->first = val;
    list->count = 1;
    auto* a = static_cast<CairnAttr*>(std::calloc(1, sizeof(CairnAttr)));
    a->values = list;
    *out = a;
    return 0;
}

void CairnFreeAttr(CairnAttr* a) {
    if (!a) return;
    std::free(a->values->first->data);
    std::free(a->values->first);
    std::free(a->values);
    std::free(a);
}

CairnRegHandle CairnObjRegister(CairnClusterHandle, uint32_t, const char*, const char* attr, uint32_t,
                                CairnObjCallback cb, uint32_t) {
    if (Get().failRegistration == attr) {
        SetError(9, 5, "registration refused");
        return nullptr;
    }
    Get().callbacks[attr] = cb;
    return reinterpret_cast<CairnRegHandle>(cb);
}
int CairnObjUnRegister(CairnRegHandle, uint32_t) {
    return 0;
}

int CairnResGetType(CairnClusterHandle, const char* resourceName, char** typeName, uint32_t) {
    auto it = Get().resourceTypes.find(resourceName);
    if (it == Get().resourceTypes.end()) {
        SetError(3, 5007, "resource not found");
        return 1;
    }
    *typeName = strdup(it->second.c_str());
    ++Get().held;
    return 0;
}

CairnError* CairnApiGetLastError(void) {
    auto* e = static_cast<CairnError*>(std::malloc(sizeof(CairnError)));
    *e = t_error;
    ++Get().held;
    return e;
}
void CairnFreeError(CairnError* e) {
    if (e) --Get().held;
    std::free(e);
}
void CairnFreeStr(char* s) {
    if (s) --Get().held;
    std::free(s);
}

}  // extern "C"
