// The action record appended to the instance's own SAP log file.
#include <cstdio>
#include <memory>
#include <string>

#include "Kestrel.h"
#include "KestrelLog.h"
#include "LibClock.h"
#include "LibLogger.h"
#include "LibPlatform.h"
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

// Closes the stream when the record is done.
struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};

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
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(narrowPath.c_str(), "ab"));
    if (!file) {
        TERN_TRACE(L"Failed to open the SAP log file [%s], Check file permissions.", path);
        KESTREL_LOG(KSEV_ERROR, 20125, L"Failed to open the SAP log file [%s], Check file permissions.",
                    path);
        return status;
    }
    std::fwrite(narrowRecord.data(), 1, narrowRecord.size(), file.get());
    TERN_TRACE(L"Successfully added SAP information to the log file [%s].", path);
    return status;
}
