#include "KestrelInstType.h"

#include "LibWide.h"

namespace {

struct Keyword {
    KestrelInstType type;
    const wchar_t* keyword;
    const wchar_t* stored;
};
constexpr Keyword kKeywords[] = {
    {KestrelInstType::kCentral, L"central", L"CENTRAL"},
    {KestrelInstType::kDialog, L"dialog", L"DIALOG"},
    {KestrelInstType::kEnqueue, L"enqueue", L"ENQUEUE"},
    {KestrelInstType::kEnqrep, L"enqrep", L"ENQREP"},
    {KestrelInstType::kAenqueue, L"aenqueue", L"AENQUEUE"},
    {KestrelInstType::kAenqrep, L"aenqrep", L"AENQREP"},
    {KestrelInstType::kJenqueue, L"jenqueue", L"JENQUEUE"},
    {KestrelInstType::kJenqrep, L"jenqrep", L"JENQREP"},
};

}  // namespace

KestrelInstType KestrelParseInstType(const std::wstring& keyword) {
    for (const auto& k : kKeywords)
        if (TernEqualsNoCase(keyword, k.keyword)) return k.type;
    return KestrelInstType::kUnknown;
}

const wchar_t* KestrelInstTypeName(KestrelInstType type) {
    for (const auto& k : kKeywords)
        if (k.type == type) return k.stored;
    return L"";
}
