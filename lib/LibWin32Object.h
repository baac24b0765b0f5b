// Handle-owning objects of the platform library.
//
// On Linux a "handle" is a file descriptor (for processes a pidfd, for services a directory descriptor).
// The objects own their descriptor: Close and the destructor close it. They are move-only, and a
// destructor never does more than close: destroying a process object never ends the process.
#pragma once

#include <cstdint>

#include "KestrelStatus.h"

// Reports a broken precondition of a library call ("ASSERTION FAILED: file: %s line %d\n" on standard
// error). The caller decides what follows (process queries fail with error 6, service calls abort).
void TernReportAssertion(const char* file, int line);

class TernObject {
  public:
    TernObject() = default;
    TernObject(const TernObject&) = delete;
    TernObject& operator=(const TernObject&) = delete;
    virtual ~TernObject() = default;

    virtual bool IsValid() const = 0;
    // Releases what the object holds. Always success here.
    virtual CKestrelStatus Close();

  protected:
    TernObject(TernObject&&) = default;
    TernObject& operator=(TernObject&&) = default;
};

class TernWin32Object : public TernObject {
  public:
    static constexpr int kInvalidHandle = -1;

    TernWin32Object() = default;
    // Takes ownership of fd, which must be valid (>= 0; an invalid one is reported as a broken
    // precondition and the object stays empty).
    explicit TernWin32Object(int fd);
    TernWin32Object(TernWin32Object&& other) noexcept;
    TernWin32Object& operator=(TernWin32Object&& other) noexcept;
    // Closes the descriptor, nothing else.
    ~TernWin32Object() override;

    bool IsValid() const override { return fd_ >= 0; }
    // Closes the descriptor when one is held; a failing close is only traced. Always success; closing twice
    // or closing an empty object writes nothing.
    CKestrelStatus Close() override;
    // The descriptor, still owned by this object (-1 when empty).
    virtual int GetHandle() const { return fd_; }
    // Closes the current descriptor and takes ownership of fd. Always success.
    virtual CKestrelStatus Attach(int fd);
    // Gives the descriptor up without closing it; the caller owns the result (-1 when empty).
    virtual int Detach();

  protected:
    int fd_ = kInvalidHandle;
};
