// CKestrelStatus: the result record that operations return instead of throwing.
#pragma once

#include <cstdint>
#include <cstring>

class CKestrelStatus {
  public:
    // Status codes in use.
    enum : int32_t {
        kNotSet = -1,
        kSuccess = 0,
        kFramework = 1,  // a framework call failed or its input was missing
        kPlatform = 2,   // a platform call failed; error = the (Windows-numbered) error
        kServiceState = 6,
        kTimedOut = 7,  // a command ran out of time (error 258)
        kDns = 28,
        kClusterApi = 33,
    };

    CKestrelStatus() { Init(); }

    // Code -1, everything else 0.
    void Init() {
        code_ = kNotSet;
        error_ = 0;
        detail_ = 0;
        extra1_ = 0;
        extra2_ = 0;
        std::memset(reserved_, 0, sizeof reserved_);
    }
    void Set(int32_t code, uint32_t error, uint64_t detail = 0, uint32_t extra1 = 0, uint32_t extra2 = 0) {
        code_ = code;
        error_ = error;
        detail_ = detail;
        extra1_ = extra1;
        extra2_ = extra2;
        std::memset(reserved_, 0, sizeof reserved_);
    }
    void Clear() {
        code_ = kSuccess;
        error_ = 0;
    }
    bool IsSuccess() const { return code_ == kSuccess; }
    bool IsFailure() const { return code_ != kSuccess; }
    int32_t GetCode() const { return code_; }
    uint32_t GetError() const { return error_; }
    uint64_t GetDetail() const { return detail_; }

  private:
    int32_t code_;
    uint32_t error_;
    uint64_t detail_;
    uint32_t extra1_;
    uint32_t extra2_;
    uint8_t reserved_[16];
};
