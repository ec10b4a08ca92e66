#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "parser/siphash.hpp"

namespace vesk {
namespace {

// Reference vectors: SipHash-1-3 with key bytes 00..0f over the message
// "length as 8 little-endian bytes, then the bytes", computed by a separate
// straightforward implementation of the algorithm over the whole message.
uint64_t reference(uint64_t k0, uint64_t k1, const std::string& msg) {
    auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    uint64_t v0 = k0 ^ 0x736f6d6570736575ull, v1 = k1 ^ 0x646f72616e646f6dull;
    uint64_t v2 = k0 ^ 0x6c7967656e657261ull, v3 = k1 ^ 0x7465646279746573ull;
    auto round = [&] {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    const size_t n = msg.size();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t m = 0;
        for (int j = 0; j < 8; ++j) m |= static_cast<uint64_t>(static_cast<uint8_t>(msg[i + j])) << (8 * j);
        v3 ^= m; round(); v0 ^= m;
    }
    uint64_t b = static_cast<uint64_t>(n) << 56;
    for (size_t j = 0; i + j < n; ++j) b |= static_cast<uint64_t>(static_cast<uint8_t>(msg[i + j])) << (8 * j);
    v3 ^= b; round(); v0 ^= b;
    v2 ^= 0xff; round(); round(); round();
    return v0 ^ v1 ^ v2 ^ v3;
}

std::string with_length_prefix(const std::string& bytes) {
    std::string msg(8, '\0');
    const uint64_t n = bytes.size();
    std::memcpy(msg.data(), &n, 8);
    return msg + bytes;
}

TEST(SipHash13, MatchesWholeMessageReference) {
    const uint64_t k0 = 0x0706050403020100ull, k1 = 0x0f0e0d0c0b0a0908ull;
    std::string bytes;
    for (int length = 0; length <= 70; ++length) {
        EXPECT_EQ(SipHash13(k0, k1).hash_bytes(bytes.data(), bytes.size()),
                  reference(k0, k1, with_length_prefix(bytes)))
            << "length " << length;
        bytes += static_cast<char>(length * 7 + 1);
    }
}

TEST(SipHash13, KeyedAndLengthSensitive) {
    const std::string a = "abc";
    EXPECT_NE(SipHash13(1, 2).hash_bytes(a.data(), 3), SipHash13(1, 3).hash_bytes(a.data(), 3));
    // "ab" and "ab\0" differ only by length.
    const char bytes[] = {'a', 'b', '\0'};
    EXPECT_NE(SipHash13(1, 2).hash_bytes(bytes, 2), SipHash13(1, 2).hash_bytes(bytes, 3));
}

}  // namespace
}  // namespace vesk
