// The agent-framework operations of framework/CairnAgfw.h.
#include "CairnAgfw.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "CairnState.h"
#include "LibError.h"
#include "LibWide.h"

using namespace cairn;
using namespace cairn::detail;

namespace {

// A malloc'd NUL-terminated copy of text, or null when out of memory.
wchar_t* MallocCopy(std::wstring_view text) {
    auto* out = static_cast<wchar_t*>(malloc((text.size() + 1) * sizeof(wchar_t)));
    if (out == nullptr) return nullptr;
    wmemcpy(out, text.data(), text.size());
    out[text.size()] = L'\0';
    return out;
}

}  // namespace

extern "C" {

int CairnAgRegisterEPStruct(uint32_t version, void* const* table) {
    if (table == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER,
                 "CairnAgRegisterEPStruct: the table is null.");
        return 1;
    }
    EntryPointTable copy{};
    for (size_t i = 0; i < copy.size(); ++i) copy[i] = table[i];
    State& state = GetState();
    std::lock_guard lock(state.mu);
    (version == kCairnEPExtensions ? state.extensions : state.entryPoints) = copy;
    return 0;
}

void CairnAgSetLogCategory(uint32_t category) {
    SetLogCategory(category);
}

int CairnAgEncodeString(uint32_t flags, const char* text, size_t lengthWithNul, uint32_t mode, wchar_t** out,
                        size_t* outLength) {
    (void)flags;
    (void)mode;
    if (out != nullptr) *out = nullptr;
    if (outLength != nullptr) *outLength = 0;
    if (text == nullptr || out == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER,
                 "CairnAgEncodeString: null text or result.");
        return 1;
    }
    // The text ends at its first NUL or after lengthWithNul - 1 bytes, whichever comes first; a length of 0
    // means "up to the NUL".
    size_t length = lengthWithNul == 0 ? strlen(text) : strnlen(text, lengthWithNul - 1);
    std::wstring wide;
    if (!TernUtf8ToWide(std::string_view(text, length), wide)) {
        SetError(kErrConversion, kCodeNoUnicodeTranslation,
                 "CairnAgEncodeString: the text is not valid UTF-8.");
        return 1;
    }
    *out = MallocCopy(wide);
    if (*out == nullptr) {
        SetError(kErrNoMemory, TERN_ERROR_NOT_ENOUGH_MEMORY, "CairnAgEncodeString: out of memory.");
        return 1;
    }
    if (outLength != nullptr) *outLength = wide.size();
    return 0;
}

int CairnAgGetEncodedArgList(uint32_t flags, CairnArgVector args, uint32_t mode, wchar_t*** out) {
    (void)flags;
    (void)mode;
    if (out == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER, "CairnAgGetEncodedArgList: null result.");
        return 1;
    }
    *out = nullptr;
    if (args == nullptr) {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER,
                 "CairnAgGetEncodedArgList: null argument vector.");
        return 1;
    }
    size_t count = 0;
    while (args[count] != nullptr) ++count;
    auto** list = static_cast<wchar_t**>(calloc(count + 1, sizeof(wchar_t*)));
    if (list == nullptr) {
        SetError(kErrNoMemory, TERN_ERROR_NOT_ENOUGH_MEMORY, "CairnAgGetEncodedArgList: out of memory.");
        return 1;
    }
    for (size_t i = 0; i < count; ++i) {
        std::wstring wide;
        if (!TernUtf8ToWide(args[i], wide)) {
            CairnAgDelEncodedArgList(list);
            SetError(kErrConversion, kCodeNoUnicodeTranslation,
                     "CairnAgGetEncodedArgList: argument " + std::to_string(i + 1) + " is not valid UTF-8.");
            return 1;
        }
        list[i] = MallocCopy(wide);
        if (list[i] == nullptr) {
            CairnAgDelEncodedArgList(list);
            SetError(kErrNoMemory, TERN_ERROR_NOT_ENOUGH_MEMORY, "CairnAgGetEncodedArgList: out of memory.");
            return 1;
        }
    }
    *out = list;
    return 0;
}

void CairnAgDelEncodedArgList(wchar_t** list) {
    if (list == nullptr) return;
    for (wchar_t** entry = list; *entry != nullptr; ++entry) free(*entry);
    free(list);
}

void CairnAgDeleteMem(void* memory) {
    if (memory == nullptr) return;
    State& state = GetState();
    {
        std::lock_guard lock(state.cookieMu);
        state.cookieCopies.erase(memory);
    }
    free(memory);
}

void* CairnAgGetCookie(const char* name) {
    if (name == nullptr || *name == '\0') {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER, "CairnAgGetCookie: empty cookie name.");
        return nullptr;
    }
    State& state = GetState();
    std::lock_guard lock(state.cookieMu);
    auto entry = state.cookies.find(name);
    if (entry == state.cookies.end()) {
        entry = state.cookies.emplace(name, CookieEntry{LoadCookieFile(state.cookieDir, name)}).first;
    }
    if (!entry->second.value) return nullptr;
    wchar_t* copy = MallocCopy(*entry->second.value);
    if (copy == nullptr) {
        SetError(kErrNoMemory, TERN_ERROR_NOT_ENOUGH_MEMORY, "CairnAgGetCookie: out of memory.");
        return nullptr;
    }
    state.cookieCopies.insert(copy);
    return copy;
}

void CairnAgSetCookie(const char* name, void* value) {
    State& state = GetState();
    std::lock_guard lock(state.cookieMu);
    std::optional<std::wstring> text;
    if (value != nullptr) {
        text = std::wstring(static_cast<const wchar_t*>(value));
        // The framework owns value now; a copy handed out earlier may come back here, so stop tracking it.
        state.cookieCopies.erase(value);
        free(value);
    }
    if (name == nullptr || *name == '\0') {
        SetError(kErrInvalidArgument, TERN_ERROR_INVALID_PARAMETER, "CairnAgSetCookie: empty cookie name.");
        return;
    }
    // A null value removes the cookie.
    state.cookies[name] = CookieEntry{text};
    StoreCookieFile(state.cookieDir, name, text);
}

void CairnAgLogMsgText(uint32_t severity, const char* tag, const char* sourcePath, uint32_t line,
                       uint32_t messageId, uint32_t flags, const wchar_t* text) {
    (void)sourcePath;
    (void)line;
    (void)flags;
    WriteAgentLog(severity, tag, messageId, text, false);
}

void CairnAgLogConsoleMsgText(uint32_t severity, const char* tag, const char* sourcePath, uint32_t line,
                              uint32_t messageId, uint32_t flags, const wchar_t* text) {
    (void)sourcePath;
    (void)line;
    (void)flags;
    WriteAgentLog(severity, tag, messageId, text, true);
}

void CairnAgResLogMsg2(uint32_t debugTag, const char* function, const char* sourcePath, uint32_t line,
                       uint32_t flags, const wchar_t* text) {
    WriteDebugLog(debugTag, function, sourcePath, line, flags, text);
}

}  // extern "C"
