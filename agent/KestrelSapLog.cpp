// The action record appended to the instance's own SAP log file.
#include <string>

#include "Kestrel.h"
#include "KestrelLog.h"
#include "LibClock.h"
#include "LibLogger.h"
#include "LibPlatform.h"
#include "LibSafeFile.h"
#include "LibWide.h"

namespace {

const wchar_t* ActionText(uint32_t action) {
    switch (action) {
        case 1:
            return L"Action: SAP instance started by Cairn.";
        case 2:
            return L"Action: SAP instance shutdown by Cairn.";
        case 3:
            return L"Action: SAP instance monitored by Cairn.";
        case 4:
            return L"Action: SAP instance cleaned by Cairn.";
        default:
            return L"";
    }
}

constexpr const wchar_t* kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                      L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};

// A file made by the agent is root's, readable by the SAP administrators who look at it.
constexpr uint32_t kNewLogFileMode = 0644;

// Nobody's uid: with no SAP administrator known, only files of root (or the agent's account) are written.
constexpr uint32_t kNoAccount = static_cast<uint32_t>(-1);

}  // namespace

CKestrelStatus CKestrel::_LogSAP(CKestrelAttrib& attrib, uint32_t action) {
    CKestrelStatus status;
    status.Clear();
    const std::wstring& sid = attrib.GetSAPSID();
    const std::wstring& instName = attrib.GetInstName();

    const TernUtcTime now = TernUtcNow();
    const std::wstring stamp =
        TernFormat(L"%02u-%s-%04u %02u:%02u:%02u", now.day, kMonths[(now.month - 1) % 12], now.year, now.hour,
                   now.minute, now.second);
    const std::wstring separator(43, L'=');
    const std::wstring record = separator + L"\nSAPSID: " + sid + L"\nInstance Name: " + instName +
                                L"\nDate: " + stamp + L"\n" + ActionText(action) + L"\n" + separator + L"\n";

    bool sidFound = false;
    const std::wstring root = SapRoot(attrib, sidFound);
    if (!sidFound) {
        TERN_TRACE(L"SAPSID [%s] does not occur in SAPHome [%s]; SAPHome is taken as the SAP root.", sid,
                   attrib.GetSAPHome());
    }
    const std::wstring path = root + kTernPathSep + sid + kTernPathSep + instName + kTernPathSep + L"log" +
                              kTernPathSep + sid + L"_" + instName + L"_" + L"logfile.log";

    // Characters the locale cannot encode are replaced, never cut off: both texts stay whole.
    const std::string narrowPath = TernWideToMb(path);
    const std::string narrowRecord = TernWideToMb(record);
    // The log directory belongs to the SAP administrator, who could put a link, a FIFO or a hard link where
    // the file is expected: the file is written only when it is a regular file of that account (or a file of
    // root's own with no other name), never through a link and never waiting on a FIFO.
    uint32_t adminUid = kNoAccount;
    TernAccountUid(attrib.GetSAPAdmin(), attrib.GetSAPAdminDomain(), adminUid);
    TernAppendFile file;
    if (file.Open(narrowPath, adminUid, kNewLogFileMode).IsFailure()) {
        TERN_TRACE(L"Failed to open the SAP log file [%s], Check file permissions.", path);
        KESTREL_LOG(KSEV_ERROR, 20125, L"Failed to open the SAP log file [%s], Check file permissions.",
                    path);
        return status;
    }
    file.Write(narrowRecord);
    TERN_TRACE(L"Successfully added SAP information to the log file [%s].", path);
    return status;
}
