// CKestrelUtil: static checks and actions on the node (files, accounts, host names, services, processes,
// commands run as a user). Each returns a CKestrelStatus that says whether the question could be asked;
// answers come back through out parameters. Nothing is thrown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KestrelStatus.h"

class TernScanCache;
class TernProcess;

class CKestrelUtil {
  public:
    CKestrelUtil() = delete;

    // --- Environment checks ---------------------------------------------------------------------------
    // exists = the path can be opened for reading as a file (a directory counts as missing). Always success.
    static CKestrelStatus DoesExistFile(const std::wstring& path, bool& exists);
    // exists = the profile can be opened for reading; for a network path (two leading separators) the check
    // runs as the given account (log-on, then file-system identity switched on this thread and restored).
    // Failure (code 2) when the log-on or the identity switch fails; exists is then not written.
    static CKestrelStatus DoesExistInstProfile(const std::wstring& path, const std::wstring& user,
                                               const std::wstring& domain, const std::wstring& password,
                                               bool& exists);
    // isDirectory = the path names an existing directory. Always success.
    static CKestrelStatus IsDirectory(const std::wstring& path, bool& isDirectory);
    // isNull = the text is empty, one blank or one tab. Always success.
    static CKestrelStatus IsNull(const std::wstring& text, bool& isNull);
    // exists = the cluster knows the resource and its type is "Kestrel". Code 33 when the query fails.
    static CKestrelStatus DoesExistCairnResource(const std::wstring& resourceName, bool& exists);
    // exists = the account can log on (interactive, then service log-on). Code 2 with the log-on's error
    // (1326 for an unknown user or a wrong password) when neither works; exists is then false.
    static CKestrelStatus DoesExistUser(const std::wstring& user, const std::wstring& domain,
                                        const std::wstring& password, bool& exists);
    // valid = the name is a single valid host-name label. Always success.
    static CKestrelStatus IsValidHostName(const std::wstring& hostName, bool& valid);
    // 1 ABAP, 2 Java, 3 Add-In, 0 not inferred.
    static int FindSAPArch(const std::vector<std::wstring>& procMon);
    // running = the service is in the running state. Failure: the service operations' status.
    static CKestrelStatus IsServiceRunning(const std::wstring& serviceName, bool& running);

    // --- Services ---------------------------------------------------------------------------------------
    // Starts the service and waits up to timeoutMs for it to run. Returns the first failing step's status.
    static CKestrelStatus StartService(const std::wstring& serviceName, uint32_t timeoutMs);
    // Stops the service and waits up to timeoutMs for it to stop. Returns the first failing step's status.
    static CKestrelStatus StopService(const std::wstring& serviceName, uint32_t timeoutMs);

    // --- Processes --------------------------------------------------------------------------------------
    // Owner of a process. On failure domain and user are emptied.
    static CKestrelStatus GetProcessUserName(uint32_t pid, std::wstring& domain, std::wstring& user);
    // The same for a process already open: read through its pidfd, so it is the owner of the very process
    // that was inspected, never of a later one with the same PID. cache (optional, borrowed): account names
    // already looked up in this walk.
    static CKestrelStatus GetProcessUserName(TernProcess& process, std::wstring& domain, std::wstring& user,
                                             TernScanCache* cache = nullptr);
    // Terminates the process with this PID. Success when terminated, or when it vanished after the
    // privilege step; failure otherwise (also when it had already ended before the call).
    static CKestrelStatus KillProcess(uint32_t pid);
    // The same for a process already held open: the signal goes through its pidfd, so a PID reused since
    // the process was inspected is never hit.
    static CKestrelStatus KillProcess(TernProcess& process);

    // --- Commands as a user -----------------------------------------------------------------------------
    // Runs command (program and arguments, split with the Windows command-line rules; no shell) as
    // user/domain in workDir (empty: the agent's own) with a limit of milliTimeout ms. On success output
    // receives standard output and standard error together and exitCode the exit code. Code 2 with the
    // log-on error when the credentials are wrong (nothing is started); code 7 / error 258 when the limit
    // ran out (the child's process group is killed and reaped; output and exitCode untouched).
    static CKestrelStatus CreateAndGetExitCode(const std::wstring& command, const std::wstring& workDir,
                                               const std::wstring& user, const std::wstring& domain,
                                               const std::wstring& password, std::wstring& output,
                                               uint32_t& exitCode, uint32_t milliTimeout);
    // The worker of CreateAndGetExitCode. curDir may be null. On success *buffer (owned by the caller,
    // released with FreeOutputBuffer) holds the output, bufferSize its size in bytes; exitCode may be null.
    static CKestrelStatus CreateAsUserAndGetOutput(const wchar_t* domain, const wchar_t* user,
                                                   const wchar_t* password, const wchar_t* cmdLine,
                                                   const wchar_t* curDir, wchar_t** buffer,
                                                   uint32_t* bufferSize, uint32_t* exitCode,
                                                   uint32_t creationFlags, uint32_t timeOut);
    static void FreeOutputBuffer(wchar_t* buffer);
};
