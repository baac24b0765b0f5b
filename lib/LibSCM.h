// TernSCM: the service manager, opened on the embedded service manager's registry (the descriptor held is
// the registry root folder).
#pragma once

#include <cstdint>
#include <string>

#include "LibWin32Object.h"

class TernService;

class TernSCM : public TernWin32Object {
  public:
    static constexpr uint32_t kAllAccess = 0xF003F;

    TernSCM() = default;
    TernSCM(TernSCM&&) noexcept = default;
    TernSCM& operator=(TernSCM&&) noexcept = default;
    ~TernSCM() override = default;

    // Closes any earlier handle and opens the registry root (creating it when missing). machineName must be
    // null or empty: only the local manager exists (otherwise code 2 error 50). Access is accepted and not
    // used. Failure: code 2 with the mapped errno.
    CKestrelStatus Open(const wchar_t* machineName, uint32_t access);
    // Opens name into service; when no service has that key name (1060) or the name cannot be a key name
    // (123), name is taken for a display name and the service is opened by its key name. Returns the status
    // of the last attempt. The manager must be open and name non-null (otherwise: reported, process
    // aborted).
    CKestrelStatus OpenServiceW(const wchar_t* name, uint32_t access, TernService& service);
    // Key name of the service whose display name equals displayName (case-insensitive). Failure: code 2
    // with 1060 when none has it. keyName is emptied on failure.
    CKestrelStatus GetKeyName(const wchar_t* displayName, std::wstring& keyName);
};
