// The structural index: the offset of every double quote of the input, which
// is all the parser looks up (string and key ends, quoted table cells).
//
// Purely lexical: quotes inside strings and comments are recorded like any
// others and backslashes are ignored. The readers compensate (they skip
// entries behind their position and find true string ends themselves).
//
// Offsets are 32-bit for inputs below 4 GiB, halving the memory the scan
// writes and the parser reads, and 64-bit above. The index keeps its memory
// across reset() so that a caller may reuse it from one input to the next.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace vesk {

// Growable array of ascending byte offsets. Unlike std::vector it may be
// written past its size (within capacity), which lets the scanners store a
// whole group of offsets without branching on how many are valid.
template <class Offset>
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
    size_t capacity_bytes() const { return capacity_ * sizeof(Offset); }
    const Offset* begin() const { return data_; }
    const Offset* end() const { return data_ + size_; }
    Offset operator[](size_t i) const { return data_[i]; }

    void clear() { size_ = 0; }
    void release() { *this = OffsetArray(); }

    void reserve(size_t wanted) {
        if (wanted <= capacity_) return;
        auto* grown = static_cast<Offset*>(std::realloc(data_, wanted * sizeof(Offset)));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = wanted;
    }

    void push_back(uint64_t offset) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = static_cast<Offset>(offset);
    }

    // Appends `base + i` for every set bit i of `mask`, lowest bit first.
    // Offsets are stored two at a time without checking each bit; slots
    // past the true count are scratch, overwritten by later appends.
    [[gnu::always_inline]] inline void append_bits(uint64_t base, uint64_t mask) {
        if (capacity_ - size_ < 64) grow(64);
        const int count = std::popcount(mask);
        Offset* out = data_ + size_;
        for (int done = 0; done < count; done += 2) {
            for (int j = 0; j < 2; ++j) {
                out[done + j] = static_cast<Offset>(base + static_cast<uint64_t>(std::countr_zero(mask)));
                mask &= mask - 1;
            }
        }
        size_ += static_cast<size_t>(count);
    }

private:
    void grow(size_t extra) { reserve(capacity_ * 2 > size_ + extra ? capacity_ * 2 : size_ + extra + 16); }

    Offset* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Inputs at least this long get 64-bit offsets.
inline constexpr uint64_t kWideOffsetsFrom = uint64_t{1} << 32;

class StructuralIndex {
public:
    // Empties the index for an input of `input_length` bytes, keeping the
    // memory of the width it needs and releasing the other. `wide_from` is
    // the length from which offsets are 64-bit; only tests lower it.
    void reset(uint64_t input_length, uint64_t wide_from = kWideOffsetsFrom) {
        wide_ = input_length >= wide_from;
        // The starting room for typical text; the arrays still grow when full.
        if (wide_) {
            narrow_quotes_.release();
            wide_quotes_.clear();
            wide_quotes_.reserve(input_length / 8);
        } else {
            wide_quotes_.release();
            narrow_quotes_.clear();
            narrow_quotes_.reserve(input_length / 8);
        }
    }

    bool wide() const { return wide_; }
    size_t size() const { return wide_ ? wide_quotes_.size() : narrow_quotes_.size(); }
    uint64_t operator[](size_t i) const { return wide_ ? wide_quotes_[i] : narrow_quotes_[i]; }
    size_t capacity_bytes() const { return narrow_quotes_.capacity_bytes() + wide_quotes_.capacity_bytes(); }

    // The array that reset() chose, for the scanners to fill.
    OffsetArray<uint32_t>& narrow_quotes() { return narrow_quotes_; }
    OffsetArray<uint64_t>& wide_quotes() { return wide_quotes_; }

private:
    OffsetArray<uint32_t> narrow_quotes_;
    OffsetArray<uint64_t> wide_quotes_;
    bool wide_ = false;
};

}  // namespace vesk
