// CKestrelPassword: the decoded administrator password for as long as one step needs it.
#pragma once

#include <string>

#include "LibNoDump.h"
#include "LibPasswordCodec.h"

// Owns the plain text and wipes it when destroyed. Move-only, so no unwiped copy is made by accident; the
// text always lives in a heap buffer, so a move hands the buffer over instead of copying characters. While
// any instance lives the process is kept out of core dumps.
class CKestrelPassword {
  public:
    CKestrelPassword() = default;
    // Takes the text and wipes the caller's string.
    explicit CKestrelPassword(std::wstring& plain) {
        plain_.reserve(plain.size() < kHeapChars ? kHeapChars : plain.size());
        plain_.assign(plain);
        TernSecureZero(plain.data(), plain.size() * sizeof(wchar_t));
        plain.clear();
    }
    CKestrelPassword(CKestrelPassword&& other) noexcept : plain_(std::move(other.plain_)) {}
    CKestrelPassword& operator=(CKestrelPassword&& other) noexcept {
        if (this != &other) {
            Wipe();
            plain_ = std::move(other.plain_);
        }
        return *this;
    }
    CKestrelPassword(const CKestrelPassword&) = delete;
    CKestrelPassword& operator=(const CKestrelPassword&) = delete;
    ~CKestrelPassword() { Wipe(); }

    // The plain text (empty when the encoded password did not decode); valid while this object lives.
    const std::wstring& Get() const { return plain_; }
    bool empty() const { return plain_.empty(); }

  private:
    // More than a string keeps inside itself, so the characters are never in the object.
    static constexpr size_t kHeapChars = 32;

    TernNoDumpGuard noDump_;

    void Wipe() {
        TernSecureZero(plain_.data(), plain_.size() * sizeof(wchar_t));
        plain_.clear();
    }

    std::wstring plain_;
};
