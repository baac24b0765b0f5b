// CKestrelUtil: running a command line as the SAP administrator. The platform work is TernLogonUser and
// TernRunCommand (lib/); this file keeps the agent's trace lines, status codes and buffer contract.
//
// Steps that exist only on Windows are traced where their Linux counterpart happens: the profile load
// with the account lookup of the log-on, the environment block when the child's environment is built,
// the pipe and handle set-up when the pipes are created.
#include <new>

#include "KestrelUtil.h"
#include "LibError.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibRunAs.h"
#include "LibWide.h"

CKestrelStatus CKestrelUtil::CreateAndGetExitCode(const std::wstring& command, const std::wstring& workDir,
                                                  const std::wstring& user, const std::wstring& domain,
                                                  const std::wstring& password, std::wstring& output,
                                                  uint32_t& exitCode, uint32_t milliTimeout) {
    TERN_TRACE(
        L"CreateAndGetExitCode called with command [%s], path [%s], user [%s], domain [%s] and millitimeout "
        L"[%d]",
        command, workDir, user, domain, milliTimeout);
    wchar_t* buffer = nullptr;
    uint32_t bufferSize = 0;
    CKestrelStatus status = CreateAsUserAndGetOutput(
        domain.c_str(), user.c_str(), password.c_str(), command.c_str(),
        workDir.empty() ? nullptr : workDir.c_str(), &buffer, &bufferSize, &exitCode, 0, milliTimeout);
    if (status.IsFailure()) {
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::CreateAsUserAndGetOutput", status.GetCode(),
                   status.GetError());
    } else if (buffer) {
        output.assign(buffer);
    }
    FreeOutputBuffer(buffer);
    return status;
}

// The buffer holds (bytes of output + 1) wide characters: the decoded text never has more characters than
// bytes, and a zero character ends it. bufferSize is that capacity in bytes (wide characters are
// sizeof(wchar_t) bytes here). creationFlags has no meaning on this platform and is ignored. The exit
// code of a child that a signal ended is 128 + the signal number.
CKestrelStatus CKestrelUtil::CreateAsUserAndGetOutput(const wchar_t* domain, const wchar_t* user,
                                                      const wchar_t* password, const wchar_t* cmdLine,
                                                      const wchar_t* curDir, wchar_t** buffer,
                                                      uint32_t* bufferSize, uint32_t* exitCode,
                                                      uint32_t creationFlags, uint32_t timeOut) {
    (void)creationFlags;
    TERN_TRACE(
        L"CreateAsUserAndGetOutput called with pwzDomain [%s], pwzUser [%s], lpCmdLine [%s], lpCurDir [%s], "
        L"dwTimeOut [%d]",
        domain, user, cmdLine, curDir ? curDir : L"(null)", timeOut);
    CKestrelStatus status;
    // Nothing is handed out unless output is collected.
    if (buffer) *buffer = nullptr;
    if (bufferSize) *bufferSize = 0;

    // Wrong credentials fail here, before anything is started.
    TernAccount account;
    CKestrelStatus logon = TernLogonUser(user, domain, password, TernLogonType::kInteractive, account);
    if (logon.IsFailure()) {
        TERN_TRACE(L"[%d] LogonUser failed. User=%s, Dom=%s", logon.GetError(), user, domain);
        status.Set(CKestrelStatus::kPlatform, logon.GetError());
        return status;
    }
    TERN_TRACE(L"LogonUser Succeed from CreateAsUserAndGetOutput.");
    TERN_TRACE(L"LoadUserProfileW Succeed from CreateAsUserAndGetOutput.");

    TernRunOptions options;
    options.account = &account;
    options.commandLine = cmdLine;
    if (curDir) options.workDir = curDir;
    options.timeoutMs = timeOut;
    options.onStepDone = [](TernRunStep step) {
        if (step == TernRunStep::kEnvironment) {
            TERN_TRACE(L"CreateEnvironmentBlock Succeed from CreateAsUserAndGetOutput.");
        } else if (step == TernRunStep::kPipes) {
            TERN_TRACE(L"CreatePipe for parent Succeed from CreateAsUserAndGetOutput.");
            TERN_TRACE(L"SetHandleInformation for parent Succeed from CreateAsUserAndGetOutput.");
            TERN_TRACE(L"DuplicateHandle for parent Succeed from CreateAsUserAndGetOutput.");
        }
    };
    TernRunResult result;
    CKestrelStatus run = TernRunCommand(options, result);
    if (run.IsFailure()) {
        switch (result.failedStep) {
            case TernRunStep::kEnvironment:
                TERN_TRACE(L"[%d] CreateEnvBlock failed. User=%s, Dom=%s", run.GetError(), user, domain);
                return run;
            case TernRunStep::kPipes:
                TERN_TRACE(L"[%d] CreatePipe failed.", run.GetError());
                return run;
            case TernRunStep::kStart:
                TERN_TRACE(L"[%d] CreateProcessAsUser failed. CmdLine = %s. ", run.GetError(), cmdLine);
                return run;
            default:
                break;
        }
        // The limit ran out: the child is gone; no output, and the caller's exit code stays as it was.
        if (run.GetCode() == CKestrelStatus::kTimedOut) return run;
        // Any other failed wait: the child was killed and reaped; what it wrote is still handed back with
        // the failure status.
        TERN_TRACE(L"%s returned %d, 0x%.08X", L"CKestrelUtil::CreateAsUserAndGetOutput.", run.GetCode(),
                   run.GetError());
    }

    *buffer = nullptr;
    if (result.outputCut) {
        TERN_TRACE(L"Output of the command exceeded %llu bytes; %llu further bytes were read and dropped.",
                   static_cast<unsigned long long>(result.output.size()),
                   static_cast<unsigned long long>(result.droppedBytes));
    }
    TERN_TRACE(L"VirtualAlloc Succeed for pFileBuffer from CreateAsUserAndGetOutput.");
    std::wstring text = TernMbToWide(result.output);
    const size_t capacity = result.output.size() + 1;
    wchar_t* wide = new (std::nothrow) wchar_t[capacity];
    if (!wide) {
        TERN_TRACE(L"VirtualAlloc Failed for pBuffer from CreateAsUserAndGetOutput.");
    } else {
        TERN_TRACE(L"VirtualAlloc Succeed for pBuffer from CreateAsUserAndGetOutput.");
        // Embedded zero bytes end the text, as they would for the zero-terminated output elsewhere.
        text.copy(wide, text.size());
        wide[text.size()] = L'\0';
        *buffer = wide;
        if (bufferSize) *bufferSize = static_cast<uint32_t>(capacity * sizeof(wchar_t));
    }
    if (exitCode) *exitCode = run.IsSuccess() ? result.exitCode : 0;
    if (run.IsSuccess())
        status.Clear();
    else
        status = run;
    return status;
}

void CKestrelUtil::FreeOutputBuffer(wchar_t* buffer) {
    delete[] buffer;
}
