#include "KestrelPrograms.h"

#include <memory>

#include "LibWide.h"

namespace {

struct Default {
    const char* key;
    const wchar_t* name;
};
// In the order of KestrelProgram.
constexpr Default kDefaults[] = {
    {"startsap", L"startsap.exe"},     {"stopsap", L"stopsap.exe"},   {"sapinfo", L"sapinfo.exe"},
    {"ensmon", L"ensmon.exe"},         {"jcmon", L"jcmon.exe"},       {"sapsrvkill", L"sapsrvkill.exe"},
    {"disp_work", L"disp+work.exe"},   {"jcontrol", L"jcontrol.exe"}, {"jlaunch", L"jlaunch.exe"},
    {"igswd", L"igswd.exe"},           {"gwrd", L"gwrd.exe"},         {"icman", L"icman.exe"},
    {"msg_server", L"msg_server.exe"}, {"enserver", L"enserver.exe"}, {"enrepserver", L"enrepserver.exe"},
};
static_assert(std::size(kDefaults) == static_cast<size_t>(KestrelProgram::kCount));

// Today's names, and the configured table once startup has installed one (kept for the process's life).
const CKestrelPrograms kToday;
std::unique_ptr<CKestrelPrograms> g_installed;

}  // namespace

CKestrelPrograms::CKestrelPrograms() {
    for (size_t i = 0; i < names_.size(); ++i) names_[i] = {kDefaults[i].name};
}

const char* CKestrelPrograms::Key(KestrelProgram p) {
    return kDefaults[Index(p)].key;
}

const std::wstring* CKestrelPrograms::Match(KestrelProgram p, std::wstring_view entry) const {
    for (const std::wstring& name : names_[Index(p)])
        if (TernEqualsNoCase(entry, name)) return &name;
    return nullptr;
}

void CKestrelPrograms::Apply(const wchar_t* const* list, std::vector<std::wstring>& problems) {
    if (list == nullptr) return;
    while (*list != nullptr) {
        const std::wstring key = *list++;
        // The count must be a plain decimal number with that many names after it.
        size_t count = 0;
        const wchar_t* countText = *list;
        bool wellFormed = countText != nullptr && *countText != L'\0';
        for (const wchar_t* c = countText; wellFormed && *c != L'\0'; ++c) {
            wellFormed = *c >= L'0' && *c <= L'9' && count < 1000;
            count = count * 10 + static_cast<size_t>(*c - L'0');
        }
        if (wellFormed) ++list;
        std::vector<std::wstring> names;
        for (size_t n = 0; wellFormed && n < count; ++n) {
            if (*list == nullptr)
                wellFormed = false;
            else
                names.emplace_back(*list++);
        }
        if (!wellFormed) {
            problems.push_back(key + L": the table is malformed after this key");
            return;
        }
        size_t index = names_.size();
        for (size_t i = 0; i < names_.size(); ++i)
            if (key == TernMbToWide(kDefaults[i].key)) index = i;
        if (index == names_.size()) {
            problems.push_back(key + L": unknown key");
            continue;
        }
        bool empty = names.empty();
        for (const std::wstring& name : names) empty = empty || name.empty();
        if (empty) {
            problems.push_back(key + L": a program name is empty");
            continue;
        }
        if (index < kKestrelFirstImage && names.size() > 1) {
            problems.push_back(key + L": a tool takes exactly one name");
            continue;
        }
        names_[index] = std::move(names);
    }
}

const CKestrelPrograms& KestrelPrograms() {
    return g_installed ? *g_installed : kToday;
}

void KestrelInstallPrograms(const CKestrelPrograms& programs) {
    g_installed = std::make_unique<CKestrelPrograms>(programs);
}
