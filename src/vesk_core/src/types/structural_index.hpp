// The structural index: where each structural byte of the input lies.
//
// Purely lexical: bytes inside strings and comments are recorded like any
// others and backslashes are ignored. The readers compensate (they skip
// entries behind their position and find true string ends themselves).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace vesk {

// Growable array of ascending byte offsets. Unlike std::vector it may be
// written past its size (within capacity), which lets the scanners store a
// whole group of offsets without branching on how many are valid.
class OffsetArray {
public:
    OffsetArray() = default;
    OffsetArray(const OffsetArray&) = delete;
    OffsetArray& operator=(const OffsetArray&) = delete;
    OffsetArray(OffsetArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    OffsetArray& operator=(OffsetArray&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ~OffsetArray() { std::free(data_); }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const uint64_t* data() const { return data_; }
    uint64_t operator[](size_t i) const { return data_[i]; }
    const uint64_t* begin() const { return data_; }
    const uint64_t* end() const { return data_ + size_; }

    void reserve(size_t wanted) {
        if (wanted <= capacity_) return;
        auto* grown = static_cast<uint64_t*>(std::realloc(data_, wanted * sizeof(uint64_t)));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = wanted;
    }

    void push_back(uint64_t offset) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = offset;
    }

    // Appends `base + i` for every set bit i of `mask`, lowest bit first.
    // Offsets are stored two at a time without checking each bit; slots
    // past the true count are scratch, overwritten by later appends.
    [[gnu::always_inline]] inline void append_bits(uint64_t base, uint64_t mask) {
        if (capacity_ - size_ < 64) grow(64);
        const int count = std::popcount(mask);
        uint64_t* out = data_ + size_;
        for (int done = 0; done < count; done += 2) {
            for (int j = 0; j < 2; ++j) {
                out[done + j] = base + static_cast<uint64_t>(std::countr_zero(mask));
                mask &= mask - 1;
            }
        }
        size_ += static_cast<size_t>(count);
    }

    friend bool operator==(const OffsetArray& a, const OffsetArray& b) {
        return a.size_ == b.size_ &&
               (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_ * sizeof(uint64_t)) == 0);
    }

private:
    void grow(size_t extra) { reserve(capacity_ * 2 > size_ + extra ? capacity_ * 2 : size_ + extra + 16); }

    uint64_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The eight structural bytes, in the order of the index's arrays.
enum Structural : uint8_t {
    kOpenBrace,
    kOpenBracket,
    kColon,
    kSemicolon,
    kComma,
    kCloseBracket,
    kCloseBrace,
    kQuote,
    kStructuralCount
};

inline constexpr char kStructuralByte[kStructuralCount] = {'{', '[', ':', ';', ',', ']', '}', '"'};

struct StructuralIndex {
    OffsetArray arrays[kStructuralCount];

    // Starting reservations from the input length; arrays still grow when full.
    static StructuralIndex with_input_capacity(size_t input_length) {
        StructuralIndex index;
        index[kQuote].reserve(input_length / 8);
        index[kComma].reserve(input_length / 20);
        index[kColon].reserve(input_length / 26);
        for (Structural s : {kOpenBrace, kOpenBracket, kCloseBracket, kCloseBrace})
            index[s].reserve(input_length / 80);
        return index;
    }

    OffsetArray& operator[](Structural s) { return arrays[s]; }
    const OffsetArray& operator[](Structural s) const { return arrays[s]; }

    const OffsetArray& open_braces() const { return arrays[kOpenBrace]; }
    const OffsetArray& open_brackets() const { return arrays[kOpenBracket]; }
    const OffsetArray& colons() const { return arrays[kColon]; }
    const OffsetArray& semicolons() const { return arrays[kSemicolon]; }
    const OffsetArray& commas() const { return arrays[kComma]; }
    const OffsetArray& close_brackets() const { return arrays[kCloseBracket]; }
    const OffsetArray& close_braces() const { return arrays[kCloseBrace]; }
    const OffsetArray& quotes() const { return arrays[kQuote]; }

    friend bool operator==(const StructuralIndex& a, const StructuralIndex& b) {
        for (int s = 0; s < kStructuralCount; ++s)
            if (!(a.arrays[s] == b.arrays[s])) return false;
        return true;
    }
};

}  // namespace vesk
