// TernSCM: the service manager. Which one is chosen by CAIRN_SERVICE_MANAGER (the host sets it from
// service_manager in [cluster]): "embedded" (or unset) is the embedded service manager's registry (the
// descriptor held is the registry root folder); "systemd" is systemd over the calling thread's system-bus
// connection (no descriptor); "auto" opens the registry and takes systemd for a service whose unit
// NAME.service is loaded on a machine booted with systemd.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "LibWin32Object.h"

class TernService;

class TernSCM : public TernWin32Object {
  public:
    static constexpr uint32_t kAllAccess = 0xF003F;

    TernSCM() = default;
    TernSCM(TernSCM&& other) noexcept
        : TernWin32Object(std::move(other)),
          systemd_(std::exchange(other.systemd_, false)),
          auto_(std::exchange(other.auto_, false)) {}
    TernSCM& operator=(TernSCM&& other) noexcept {
        TernWin32Object::operator=(std::move(other));
        systemd_ = std::exchange(other.systemd_, false);
        auto_ = std::exchange(other.auto_, false);
        return *this;
    }
    ~TernSCM() override = default;

    bool IsValid() const override { return fd_ >= 0 || systemd_; }
    CKestrelStatus Close() override;

    // Closes any earlier handle and opens the registry root (creating it when missing), or connects to the
    // system bus. machineName must be null or empty: only the local manager exists (otherwise code 2 error
    // 50). Access is accepted and not used. Failure: code 2 with the mapped errno; 87 for a
    // CAIRN_SERVICE_MANAGER that is none of embedded, systemd, auto.
    CKestrelStatus Open(const wchar_t* machineName, uint32_t access);
    // Opens name into service; when no service has that key name (1060) or the name cannot be a key name
    // (123), name is taken for a display name and the service is opened by its key name. Returns the status
    // of the last attempt. systemd: opens unit name.service, by that name only (1060 when it does not
    // exist). The manager must be open and name non-null (otherwise: reported, process aborted).
    CKestrelStatus OpenServiceW(const wchar_t* name, uint32_t access, TernService& service);
    // Key name of the service whose display name equals displayName (case-insensitive). Failure: code 2
    // with 1060 when none has it (always on systemd: finding a unit by its description would mean listing
    // every unit). keyName is emptied on failure.
    CKestrelStatus GetKeyName(const wchar_t* displayName, std::wstring& keyName);

  private:
    bool systemd_ = false;  // every service is a systemd unit
    bool auto_ = false;     // a loaded unit on a systemd-booted machine is taken before the registry
};
