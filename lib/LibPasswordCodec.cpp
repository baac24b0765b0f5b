#include "LibPasswordCodec.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr char kPrefix[] = "KP1";
constexpr size_t kPrefixLen = 3;

uint8_t KeyByte(size_t i) {
    // A fixed keystream (xorshift), so equal characters at different places encode differently.
    uint32_t x = 0x9E3779B9u ^ static_cast<uint32_t>(i * 0x85EBCA6Bu);
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return static_cast<uint8_t>(x >> 7);
}

uint32_t Crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

int HexVal(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Allowed(uint8_t b) {
    return b >= 33 && b != 127;
}

const char kHex[] = "0123456789ABCDEF";

}  // namespace

bool TernEncodePassword(std::string_view plain, std::string& out) {
    if (kPrefixLen + plain.size() * 2 + 8 > kTernMaxEncodedPassword) return false;
    std::string r = kPrefix;
    for (size_t i = 0; i < plain.size(); ++i) {
        uint8_t b = static_cast<uint8_t>(plain[i]);
        if (!Allowed(b)) return false;
        uint8_t e = b ^ KeyByte(i);
        r.push_back(kHex[e >> 4]);
        r.push_back(kHex[e & 15]);
    }
    uint32_t crc = Crc32(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
    for (int s = 28; s >= 0; s -= 4) r.push_back(kHex[(crc >> s) & 15]);
    out = std::move(r);
    return true;
}

int TernDecodePassword(char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return -1;
    const void* nul = std::memchr(buffer, '\0', capacity);
    if (nul == nullptr) return -1;
    size_t n = static_cast<const char*>(nul) - buffer;
    if (n < 3) return -2;
    if (n < kPrefixLen + 8 || std::memcmp(buffer, kPrefix, kPrefixLen) != 0) return -2;
    size_t hexLen = n - kPrefixLen - 8;
    if (hexLen % 2 != 0) return -2;
    // Wiped on every way out, so no decoded byte is left in freed memory.
    struct WipedBytes : std::vector<uint8_t> {
        using std::vector<uint8_t>::vector;
        ~WipedBytes() { TernSecureZero(data(), size()); }
    } plain(hexLen / 2);
    for (size_t i = 0; i < plain.size(); ++i) {
        int hi = HexVal(buffer[kPrefixLen + 2 * i]);
        int lo = HexVal(buffer[kPrefixLen + 2 * i + 1]);
        if (hi < 0 || lo < 0) return -2;
        plain[i] = static_cast<uint8_t>((hi << 4 | lo) ^ KeyByte(i));
        if (!Allowed(plain[i])) return -2;
    }
    uint32_t crc = 0;
    for (size_t k = 0; k < 8; ++k) {
        int v = HexVal(buffer[n - 8 + k]);
        if (v < 0) return -2;
        crc = crc << 4 | static_cast<uint32_t>(v);
    }
    bool ok = crc == Crc32(plain.data(), plain.size());
    if (ok) {
        std::memcpy(buffer, plain.data(), plain.size());
        std::memset(buffer + plain.size(), 0, n - plain.size());
    }
    return ok ? 0 : -2;
}

void TernSecureZero(void* p, size_t n) {
    if (p && n) explicit_bzero(p, n);
}
