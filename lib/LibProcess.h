// TernProcess: one process, held through a pidfd.
//
// Identity: once a PID is opened, every later query and signal goes through that pidfd, and every read of
// /proc/PID is followed by a check that the pidfd's process is still alive, so data of a process that has
// ended (and whose PID may be reused) is never reported and a reused PID is never signalled. Open, query,
// then Terminate the same object to act on exactly the process that was inspected.
//
// Every operation returns a CKestrelStatus (success cleared; failure code 2 with a Windows-numbered error,
// see docs/platform.md), sets the thread's last error and writes one "(error) ..." trace line on failure.
// Texts handed out belong to the caller; they are emptied on failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "LibSyncObject.h"

class TernScanCache;

class TernProcess : public TernSyncObject {
  public:
    static constexpr uint32_t kNoPid = 0xFFFFFFFFu;
    // Access masks of the callers; Linux has no per-handle rights, so they are accepted and not used.
    static constexpr uint32_t kAccessTerminate = 0x0001;
    static constexpr uint32_t kAccessQuery = 0x0410;
    static constexpr uint32_t kAccessAll = 0x1F0FFF;

    TernProcess() = default;
    TernProcess(TernProcess&& other) noexcept;
    TernProcess& operator=(TernProcess&& other) noexcept;
    // Closes the pidfd; never signals the process.
    ~TernProcess() override;

    // Closes any earlier pidfd, then opens pid (pidfd_open). inherit: the pidfd survives exec. Failure:
    // code 2, error 87 when there is no such process (mapped errno otherwise).
    CKestrelStatus Open(uint32_t pid, bool inherit, uint32_t access);
    // Closes the pidfd and forgets PID and cached path. Always success.
    CKestrelStatus Close() override;
    // Takes ownership of a pidfd; the PID is read from /proc/self/fdinfo. Always success (an fd that is not
    // a pidfd leaves the PID unknown).
    CKestrelStatus Attach(int fd) override;
    // Gives the pidfd up (caller owns it) and forgets PID and cached path.
    int Detach() override;

    uint32_t GetPid() const { return pid_; }

    // Full path of the main image (readlink /proc/PID/exe), cached after the first success. Failure: 87
    // when the process has ended, the mapped errno when the link cannot be read (2 for a process without
    // an image, 5 without permission); 6 when not open.
    CKestrelStatus GetExeName(std::wstring& path);
    // Effective uid of the process (from /proc/PID/status). Failure as GetExeName.
    CKestrelStatus GetUserId(uint32_t& uid);
    // Owner as domain and user (see TernSplitAccountName). Failure: as GetUserId; 1332 when the uid has no
    // name. cache (optional, borrowed): names of uids and the host's name already looked up in this walk;
    // the uid itself is read from this process every time, so a cached name is never another process's.
    CKestrelStatus GetUserName(std::wstring& domain, std::wstring& user, TernScanCache* cache = nullptr);
    // alive = the process has not ended (a zombie has ended). Failure: mapped errno of poll; 6 when not open.
    CKestrelStatus IsAlive(bool& alive);
    // Sends SIGKILL through the pidfd (the exit code cannot be chosen on Linux and is ignored). Does not
    // wait. Failure: 87 when the process is gone, 5 without permission; 6 when not open.
    CKestrelStatus Terminate(uint32_t exitCode = 0);

    // By-PID forms: each opens its own object, asks one question and closes; the first failure is returned.
    static CKestrelStatus GetExeName(uint32_t pid, std::wstring& path);
    // The cheap read for walks over the whole table: readlink of /proc/PID/exe without opening the process,
    // into path (its storage is reused). Nothing ties the result to a process: it may be the path of one
    // that has ended meanwhile, or of a later one with the same PID. Open the process and read GetExeName
    // before acting on it. Failure: the mapped errno (2 for a process without an image and for one that has
    // ended), without a trace line; GetExeName(pid, ...) tells which.
    static CKestrelStatus PeekExeName(uint32_t pid, std::wstring& path);
    // The same read with the path left in the system's bytes (convert with TernMbToWide).
    static CKestrelStatus PeekExeName(uint32_t pid, std::string& path);
    // After a failed PeekExeName(pid, ...) (its status in peek): the status and the trace lines that
    // GetExeName(pid, ...) gives in the same case (the error of peek for a process that still runs, e.g. 2
    // for one without an image; 87 for one that has ended), found with one or two /proc queries instead
    // of a pidfd and a second read. Always a failure.
    // cache (optional, borrowed): the kernel threads of this walk, read once.
    static CKestrelStatus ConfirmPeekFailure(uint32_t pid, const CKestrelStatus& peek,
                                             TernScanCache* cache = nullptr);
    static CKestrelStatus GetUserName(uint32_t pid, std::wstring& domain, std::wstring& user);
    // Nothing needs switching on Linux; the process is opened (so a vanished process fails with 87) and
    // closed. privilegeName must not be null (broken precondition: reported, code 2 error 87).
    static CKestrelStatus EnablePrivilege(uint32_t pid, const wchar_t* privilegeName, bool enable);

  private:
    // Success while the pidfd's process has not ended; code 2 error 87 after.
    CKestrelStatus CheckStillAlive();

    uint32_t pid_ = kNoPid;
    std::wstring exeName_;
};

// What one walk over the process table looks up once instead of per process: account names by uid, the
// host's short name, and the kernel's own threads (processes without an image). Passed to
// TernProcess::GetUserName and ConfirmPeekFailure. Not shared between threads; one that outlived the walk
// could hand out a name changed in the user database, or a kernel thread that has ended, meanwhile.
class TernScanCache {
  public:
    // TernHostShortNameUpper(), read on the first call.
    const std::wstring& HostShortNameUpper();

  private:
    friend class TernProcess;
    struct Account {
        uint32_t error = 0;  // 0, or the failure of the lookup (1332: the uid has no name)
        std::wstring domain, user;
    };
    // true when pid was a running kernel thread when the list was read (on the first question).
    bool IsKernelThread(uint32_t pid);

    std::unordered_map<uint32_t, Account> accounts_;
    std::wstring host_;
    bool haveHost_ = false;
    enum class Threads { kUnread, kRead, kUnavailable } threadsState_ = Threads::kUnread;
    std::vector<uint32_t> kernelThreads_;  // ascending
};

// Splits an account name from the user database into domain and user: "DOMAIN\user" and "user@domain"
// give that domain and user; any other name is a local account of hostShortUpper.
void TernSplitAccountName(std::string_view accountName, std::wstring_view hostShortUpper,
                          std::wstring& domain, std::wstring& user);
// The host's short name (up to the first dot) in upper case; empty when it cannot be read.
std::wstring TernHostShortNameUpper();
