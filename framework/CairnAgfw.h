// Agent framework (cairnagfw) as the agent uses it. Implemented by the stand-in framework in cairn/.
// Every call is safe from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "LibFormat.h"

extern "C" {

// Argument vector handed to the entry points: a NULL-terminated array of UTF-8 texts.
typedef const char* const* CairnArgVector;

// Entry-point table: ten pointer-sized slots; slot 4 (from 1) Monitor, 5 Online, 6 Offline, 9 Clean,
// 10 Shutdown; the others are null.
typedef uint32_t (*CairnMonitorEP)(const char* resourceName, CairnArgVector args, int32_t* confidence);
typedef uint32_t (*CairnOnlineEP)(const char* resourceName, CairnArgVector args);
typedef uint32_t (*CairnOfflineEP)(const char* resourceName, CairnArgVector args);
typedef uint32_t (*CairnCleanEP)(const char* resourceName, uint32_t reason, CairnArgVector args);
typedef void (*CairnShutdownEP)(void);
typedef void (*CairnStartupFn)(void);
enum { kCairnEPSlots = 10 };

// Host extensions: a second table of kCairnEPSlots slots, registered with version kCairnEPExtensions, that
// hosts outside the cluster (cairnagent validate, the OCF adapter) use; slot 1 Validate, slot 2 Remains,
// the others null. A framework that does not know the version ignores the call.
enum { kCairnEPExtensions = 2 };
// Validate: the attribute checks of Online without acting. level 0 looks only at the values (and at the
// cluster's configuration for resources they name); level 10 and above also at the node (directories,
// accounts, profile, the start program). Returns one of the kCairnValidate* verdicts.
typedef uint32_t (*CairnValidateEP)(const char* resourceName, CairnArgVector args, uint32_t level);
enum : uint32_t {
    kCairnValidateOk = 0,
    kCairnValidateNotConfigured = 1,  // a value does not validate
    kCairnValidateNotInstalled = 2,   // this node lacks what the values name
    kCairnValidateFailed = 3,         // a check could not be made
};
// Remains: what of the resource is left on the node, as an OR of the kCairnRemains* bits (0: nothing).
typedef uint32_t (*CairnRemainsEP)(const char* resourceName, CairnArgVector args);
enum : uint32_t {
    kCairnRemainsProcesses = 1,  // a process of the instance runs
    kCairnRemainsService = 2,    // its service is not stopped
    kCairnRemainsUnknown = 4,    // something could not be looked at (the other bits say what was seen)
};

// The framework copies the table. Returns 0.
int CairnAgRegisterEPStruct(uint32_t version, void* const* table);
void CairnAgSetLogCategory(uint32_t category);

// Converts a narrow (UTF-8) text to wide. *out is allocated by the framework and freed with
// CairnAgDeleteMem. Returns 0 on success, non-zero otherwise (then *out is null).
int CairnAgEncodeString(uint32_t flags, const char* text, size_t lengthWithNul, uint32_t mode, wchar_t** out,
                        size_t* outLength);
// Decodes an argument vector into a NULL-terminated array of wide texts in argument-list order, freed
// with CairnAgDelEncodedArgList. Returns 0 on success, non-zero (e.g. invalid UTF-8) otherwise.
int CairnAgGetEncodedArgList(uint32_t flags, CairnArgVector args, uint32_t mode, wchar_t*** out);
void CairnAgDelEncodedArgList(wchar_t** list);
// Frees memory the framework handed out (encoded texts, cookie values). Null is ignored.
void CairnAgDeleteMem(void* memory);

// Cookies: a wide text kept per name, persisted by the framework.
// CairnAgGetCookie returns a copy of the value last stored under the name, or null; the copy is owned
// by the caller, who frees it with CairnAgDeleteMem (copies never freed are freed at CairnApiExit).
void* CairnAgGetCookie(const char* name);
// Stores a NUL-terminated wide text allocated with malloc; the framework takes ownership of value.
void CairnAgSetCookie(const char* name, void* value);

// Agent-log message with an already formatted text (never used as a format).
void CairnAgLogMsgText(uint32_t severity, const char* tag, const char* sourcePath, uint32_t line,
                       uint32_t messageId, uint32_t flags, const wchar_t* text);
void CairnAgLogConsoleMsgText(uint32_t severity, const char* tag, const char* sourcePath, uint32_t line,
                              uint32_t messageId, uint32_t flags, const wchar_t* text);
// Resource debug log line. flags 0 for a trace line, 512 for a dump line.
void CairnAgResLogMsg2(uint32_t debugTag, const char* function, const char* sourcePath, uint32_t line,
                       uint32_t flags, const wchar_t* text);

}  // extern "C"

// Agent-log calls with a printf-style wide format. The format is checked against the argument types at
// compile time (see LibFormat.h): "%s" takes a wide text, "%S" a narrow one, "%d"/"%X" 32-bit integers.
template <class... A>
inline void CairnAgLogMsg2(uint32_t severity, const char* tag, const char* sourcePath, uint32_t line,
                           uint32_t messageId, uint32_t flags,
                           TernFormatString<std::type_identity_t<A>...> format, const A&... args) {
    std::wstring text = TernFormat(format, args...);
    CairnAgLogMsgText(severity, tag, sourcePath, line, messageId, flags, text.c_str());
}
template <class... A>
inline void CairnAgLogConsoleMsg2(uint32_t severity, const char* tag, const char* sourcePath, uint32_t line,
                                  uint32_t messageId, uint32_t flags,
                                  TernFormatString<std::type_identity_t<A>...> format, const A&... args) {
    std::wstring text = TernFormat(format, args...);
    CairnAgLogConsoleMsgText(severity, tag, sourcePath, line, messageId, flags, text.c_str());
}
