// The multiplicative hash used by the native hash maps and stored with values.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwick {

inline constexpr uint32_t FX_K = 0x93d765ddu;

// h = (h + w) * K per 32-bit word; the result is h rotated left by 15.
struct FxHasher32 {
    uint32_t h = 0;
    constexpr void add(uint32_t w) noexcept { h = (h + w) * FX_K; }
    constexpr void add64(uint64_t v) noexcept {
        add(static_cast<uint32_t>(v));
        add(static_cast<uint32_t>(v >> 32));
    }
    constexpr uint32_t finish() const noexcept { return std::rotl(h, 15); }
};

constexpr uint32_t fx_hash_u32(uint32_t key) noexcept { return std::rotl(key * FX_K, 15); }

constexpr uint32_t fx_hash_u64(uint64_t key) noexcept {
    FxHasher32 h;
    h.add64(key);
    return h.finish();
}

// 32-bit digest of a byte string: 16-byte blocks folded with 32x32->64-bit
// multiplies, then the tail and the length mixed in.
inline uint32_t fx_digest_bytes(const char* data, size_t n) noexcept {
    uint32_t s0 = 0x243F6A88u, s1 = 0x85A308D3u, s2 = 0x13198A2Eu, s3 = 0x03707344u;
    auto fold = [](uint32_t a, uint32_t b) noexcept {
        uint64_t m = static_cast<uint64_t>(a) * b;
        return static_cast<uint32_t>(m) ^ static_cast<uint32_t>(m >> 32);
    };
    auto word = [data](size_t at) noexcept {
        uint32_t w;
        std::memcpy(&w, data + at, 4);
        return w;
    };
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        s0 = fold(s0 ^ word(i), 0xA4093822u ^ s2);
        s1 = fold(s1 ^ word(i + 4), 0x299F31D0u ^ s3);
        s2 = fold(s2 ^ word(i + 8), 0xA4093822u ^ s0);
        s3 = fold(s3 ^ word(i + 12), 0x299F31D0u ^ s1);
    }
    uint32_t tail = 0;
    for (size_t k = 0; i + k < n; ++k) {
        tail = (tail << 8) | static_cast<unsigned char>(data[i + k]);
        if ((k & 3) == 3) {
            s0 = fold(s0 ^ tail, 0xA4093822u ^ s1);
            tail = 0;
        }
    }
    s1 = fold(s1 ^ tail, 0x299F31D0u ^ s0);
    uint32_t h = fold(s0 ^ s2, s1 ^ s3 ^ static_cast<uint32_t>(n));
    return fold(h ^ static_cast<uint32_t>(n >> 32 >> 0), 0xA4093822u) ^ s3;
}

// Hash of a text, as kept by the interner and (with the kind number) by values.
inline uint64_t fx_hash_str(const char* data, size_t n) noexcept {
    FxHasher32 h;
    h.add(fx_digest_bytes(data, n));
    h.add(0xFFu);
    return h.finish();
}

}  // namespace tarnwick
