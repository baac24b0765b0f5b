// File questions the agent's checks ask, and the file-system identity switch for asking them as another
// account.
#pragma once

#include <string>

#include "KestrelStatus.h"
#include "LibLogon.h"
#include "LibNonCopyable.h"

// True when path can be opened for reading as a file: missing files, directories and files the calling
// thread's file-system identity may not read all give false.
bool TernCanReadFile(const std::string& path);

// isDirectory = path names a directory (following links). Failure: code 2 with the mapped error (2 for a
// missing path, 3 for a missing directory on the way) when the path cannot be looked up; isDirectory is
// then false.
CKestrelStatus TernIsDirectory(const std::string& path, bool& isDirectory);

// Switches the calling thread's file-system identity (fsuid/fsgid) to an account and back. Only file
// access checks on this thread change; other threads and the process's real identity stay as they are.
// The destructor restores the identity if Restore was not called.
class TernFsIdentity : private TernNonCopyable {
  public:
    TernFsIdentity() = default;
    ~TernFsIdentity();

    // Takes on account's uid and primary gid for file access. Failure: code 2 with 1314 when the switch
    // is not permitted (a non-root agent can only take on its own identity); nothing changed then.
    CKestrelStatus Assume(const TernAccount& account);
    // Returns to the identity held before Assume. Failure: code 2 with 1314. Success when nothing was
    // assumed.
    CKestrelStatus Restore();

  private:
    bool active_ = false;
    unsigned savedUid_ = 0;
    unsigned savedGid_ = 0;
};
