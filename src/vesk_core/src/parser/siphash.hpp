// SipHash-1-3 (one compression round, three finalisation rounds), keyed per
// thread. Plain C++.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesk {

class SipHash13 {
public:
    SipHash13(uint64_t k0, uint64_t k1)
        : v0_(k0 ^ 0x736f6d6570736575ull),
          v1_(k1 ^ 0x646f72616e646f6dull),
          v2_(k0 ^ 0x6c7967656e657261ull),
          v3_(k1 ^ 0x7465646279746573ull) {}

    // Hashes `length` (as eight little-endian bytes) followed by the bytes:
    // the length prefix keeps different splits of a byte stream apart.
    uint64_t hash_bytes(const void* data, size_t length) {
        absorb(static_cast<uint64_t>(length));
        const auto* p = static_cast<const uint8_t*>(data);
        size_t i = 0;
        for (; i + 8 <= length; i += 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            absorb(word);
        }
        uint64_t last = static_cast<uint64_t>(length + 8) << 56;
        for (size_t j = 0; i + j < length; ++j) last |= static_cast<uint64_t>(p[i + j]) << (8 * j);
        absorb(last);
        v2_ ^= 0xff;
        round();
        round();
        round();
        return v0_ ^ v1_ ^ v2_ ^ v3_;
    }

private:
    void absorb(uint64_t m) {
        v3_ ^= m;
        round();
        v0_ ^= m;
    }

    void round() {
        v0_ += v1_;
        v1_ = std::rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = std::rotl(v0_, 32);
        v2_ += v3_;
        v3_ = std::rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = std::rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = std::rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = std::rotl(v2_, 32);
    }

    uint64_t v0_, v1_, v2_, v3_;
};

}  // namespace vesk
