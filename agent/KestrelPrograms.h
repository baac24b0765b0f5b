// The SAP program names the agent runs or looks for: the six tools and the nine well-known instance images.
// They come from the [programs] table of the type's definition, served by the framework; a key the table
// does not give keeps the name the agent has always used ("startsap.exe", "disp+work.exe", ...).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

enum class KestrelProgram : size_t {
    // Tools: run by path, one name each.
    kStartsap,
    kStopsap,
    kSapinfo,
    kEnsmon,
    kJcmon,
    kSapsrvkill,
    // Images: looked for in ProcMon and the process table; each may have several names (the first one is
    // the name the texts use when none of them was seen).
    kDispWork,
    kJcontrol,
    kJlaunch,
    kIgswd,
    kGwrd,
    kIcman,
    kMsgServer,
    kEnserver,
    kEnrepserver,
    kCount
};

// The images among the programs: the place of an image in that run (0 for disp+work ... 8 for enrepserver),
// which is also the order the process walk matches them in.
inline constexpr size_t kKestrelFirstImage = static_cast<size_t>(KestrelProgram::kDispWork);
inline constexpr size_t kKestrelImageCount = static_cast<size_t>(KestrelProgram::kCount) - kKestrelFirstImage;
constexpr size_t KestrelImageIndex(KestrelProgram image) {
    return static_cast<size_t>(image) - kKestrelFirstImage;
}
constexpr KestrelProgram KestrelImageAt(size_t index) {
    return static_cast<KestrelProgram>(kKestrelFirstImage + index);
}

class CKestrelPrograms {
  public:
    // Today's names.
    CKestrelPrograms();

    // The first (for a tool the only) name of p.
    const std::wstring& Name(KestrelProgram p) const { return names_[Index(p)].front(); }
    const std::vector<std::wstring>& Names(KestrelProgram p) const { return names_[Index(p)]; }
    // The name of p that entry equals (case-insensitively, as a whole name), or null.
    const std::wstring* Match(KestrelProgram p, std::wstring_view entry) const;

    // Applies a table in the framework's form: NULL-terminated texts, each key followed by the count of its
    // names and the names. Entries that cannot be used are left out and described in problems (one text
    // each: the key, then why); the rest applies. The list is borrowed.
    void Apply(const wchar_t* const* list, std::vector<std::wstring>& problems);

    // The table key of p ("startsap", "disp_work", ...).
    static const char* Key(KestrelProgram p);

  private:
    static size_t Index(KestrelProgram p) { return static_cast<size_t>(p); }
    std::array<std::vector<std::wstring>, static_cast<size_t>(KestrelProgram::kCount)> names_;
};

// The table the agent works with: today's names until startup installs the configured one. Read by every
// entry point; replaced only by startup, before the framework runs any entry point.
const CKestrelPrograms& KestrelPrograms();
void KestrelInstallPrograms(const CKestrelPrograms& programs);

// The first configured name of p.
inline const std::wstring& KestrelProgramName(KestrelProgram p) {
    return KestrelPrograms().Name(p);
}
