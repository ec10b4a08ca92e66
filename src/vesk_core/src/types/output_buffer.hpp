// The writer's output: a growable array of text units whose width (1, 2 or
// 4 bytes) follows the widest character written so far.
//
// Python builds a `str` in one of three fixed widths. Keeping the output in
// the width the result will have lets `dumps` finish with one copy into a
// new `str`, instead of encoding every string to UTF-8 and decoding the
// whole text again. Width 1 holds ASCII or Latin-1; the buffer starts there
// and is widened in place when a wider string arrives (at most twice a call).
//
// Plain C++: the escapers and their native tests use it without Python.h.
// Growth failures throw std::bad_alloc, which the module boundary turns
// into MemoryError; the buffer stays valid (and usable) afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace vesk {

class OutputBuffer {
public:
    static constexpr size_t kInitialCapacity = 8192;  // bytes

    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer() { std::free(data_); }

    size_t size() const { return size_; }  // in units
    unsigned width() const { return width_; }
    size_t capacity_bytes() const { return capacity_; }
    const uint8_t* bytes() const { return data_; }

    // Empties the text and returns to width 1; the memory is kept.
    void clear() {
        size_ = 0;
        width_ = 1;
    }

    // Drops every unit from `units` on; the width stays as it is.
    void truncate(size_t units) { size_ = units; }

    // Makes room for `units` more units at the current width.
    void reserve(size_t units) {
        const size_t needed = checked_bytes(size_, units, width_);
        if (needed > capacity_) grow(needed);
    }

    // The first free unit; write up to the reserved count, then commit.
    template <class Unit>
    Unit* tail() {
        return reinterpret_cast<Unit*>(data_) + size_;
    }
    void commit(size_t units) { size_ += units; }

    // Appends bytes as units, each byte one character (ASCII punctuation,
    // numbers and literals; Latin-1 text). At width 1 this is a plain copy,
    // so the byte escapers' tests may pass UTF-8 through it too.
    void append_bytes(const char* text, size_t length) {
        reserve(length);
        switch (width_) {
            case 1: std::memcpy(data_ + size_, text, length); break;
            case 2: widen_bytes(tail<uint16_t>(), text, length); break;
            default: widen_bytes(tail<uint32_t>(), text, length); break;
        }
        size_ += length;
    }

    void put(char c) {
        reserve(1);
        switch (width_) {
            case 1: data_[size_] = static_cast<uint8_t>(c); break;
            case 2: tail<uint16_t>()[0] = static_cast<uint8_t>(c); break;
            default: tail<uint32_t>()[0] = static_cast<uint8_t>(c); break;
        }
        ++size_;
    }

    // `count` copies of the ASCII byte `c`.
    void fill(char c, size_t count) {
        reserve(count);
        switch (width_) {
            case 1: std::memset(data_ + size_, c, count); break;
            case 2: fill_units(tail<uint16_t>(), c, count); break;
            default: fill_units(tail<uint32_t>(), c, count); break;
        }
        size_ += count;
    }

    // Appends `length` code units of `kind` bytes each (1, 2 or 4, at most
    // the current width) unchanged.
    void append_units(const void* units, unsigned kind, size_t length) {
        if (kind == width_) {
            reserve(length);
            std::memcpy(data_ + size_ * width_, units, length * width_);
            size_ += length;
        } else if (kind == 1) {
            append_bytes(static_cast<const char*>(units), length);
        } else {
            reserve(length);
            const auto* from = static_cast<const uint16_t*>(units);
            uint32_t* to = tail<uint32_t>();
            for (size_t i = 0; i < length; ++i) to[i] = from[i];
            size_ += length;
        }
    }

    // Widens the text written so far to `width` bytes a unit (no-op when
    // the buffer is already that wide or wider).
    void widen(unsigned width) {
        if (width <= width_) return;
        const size_t needed = checked_bytes(0, size_ == 0 ? 1 : size_, width);
        if (needed > capacity_) grow(needed);
        // Back to front, so that each unit is read before it is overwritten.
        if (width_ == 1 && width == 2) widen_back<uint8_t, uint16_t>();
        else if (width_ == 1) widen_back<uint8_t, uint32_t>();
        else widen_back<uint16_t, uint32_t>();
        width_ = width;
    }

private:
    static size_t checked_bytes(size_t used, size_t more, unsigned width) {
        size_t units = 0, bytes = 0;
        if (__builtin_add_overflow(used, more, &units) ||
            __builtin_mul_overflow(units, static_cast<size_t>(width), &bytes))
            throw std::bad_alloc();
        return bytes;
    }

    void grow(size_t needed) {
        size_t capacity = capacity_ ? capacity_ : kInitialCapacity;
        while (capacity < needed) capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
        auto* grown = static_cast<uint8_t*>(std::realloc(data_, capacity));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = capacity;
    }

    template <class Unit>
    static void widen_bytes(Unit* out, const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(text[i]);
    }

    template <class Unit>
    static void fill_units(Unit* out, char c, size_t count) {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(c);
    }

    template <class From, class To>
    void widen_back() {
        const auto* from = reinterpret_cast<const From*>(data_);
        auto* to = reinterpret_cast<To*>(data_);
        for (size_t i = size_; i-- > 0;) to[i] = from[i];
    }

    uint8_t* data_ = nullptr;
    size_t size_ = 0;      // units
    size_t capacity_ = 0;  // bytes
    unsigned width_ = 1;
};

}  // namespace vesk
