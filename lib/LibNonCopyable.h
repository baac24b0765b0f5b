// A base for classes whose objects own something that must not be duplicated (a descriptor, a saved
// identity, a process-wide setting): copying them is refused at compile time.
#pragma once

// Derive privately. Copy construction and copy assignment are deleted; as this declares them, no move
// operations are generated either, so a derived class is movable only when it declares its own.
class TernNonCopyable {
  public:
    TernNonCopyable(const TernNonCopyable&) = delete;
    TernNonCopyable& operator=(const TernNonCopyable&) = delete;

  protected:
    TernNonCopyable() = default;
    ~TernNonCopyable() = default;
};
