// A growable array of text units of one width (1, 2 or 4 bytes: the widths
// of Python's `str` kinds), widened in place when wider units arrive.
//
// The writer's output is two of these (see OutputText): the narrow text at
// width 1 and the wide strings at the width of the widest of them. Text in
// a `str`'s own widths lets `dumps` fill the result directly, instead of
// encoding every string to UTF-8 and decoding the whole text again.
//
// Plain C++: the escapers and their native tests use it without Python.h.
// Growth failures throw std::bad_alloc, which the module boundary turns
// into MemoryError; the buffer stays valid (and usable) afterwards.
#pragma once

#include <emmintrin.h>

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
    // Units added beyond a reservation whenever the buffer grows, so that
    // the small reservations that follow seldom grow it again. A writer may
    // store whole blocks past the text it commits, but only within what it
    // reserved.
    static constexpr size_t kHeadroom = 64;

    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer() { std::free(data_); }

    size_t size() const { return used_ >> shift_; }  // in units
    unsigned width() const { return 1u << shift_; }
    size_t capacity_bytes() const { return capacity_; }
    const uint8_t* bytes() const { return data_; }

    // Empties the text and returns to width 1; the memory is kept.
    void clear() {
        used_ = 0;
        shift_ = 0;
    }

    // Drops every unit from `units` on; the width stays as it is.
    void truncate(size_t units) { used_ = units << shift_; }

    // Makes room for `units` more units at the current width. A buffer that
    // is full, or never allocated, grows even for none: the copies after a
    // reserve need a real address, also for zero bytes.
    [[gnu::always_inline]] void reserve(size_t units) {
        if (units >= (capacity_ - used_) >> shift_) [[unlikely]]
            grow(units);
    }

    // The first free unit; write up to the reserved count, then commit.
    template <class Unit>
    Unit* tail() {
        return reinterpret_cast<Unit*>(data_ + used_);
    }
    void commit(size_t units) { used_ += units << shift_; }

    // The appends from here to append_bytes are for the narrow text only,
    // at width 1: numbers, literals, punctuation and indentation never go
    // to the wide buffer.

    // Up to `max` ASCII bytes are written at the returned pointer (a
    // formatter may store whole blocks up to there) and then committed by
    // ascii_end.
    [[gnu::always_inline]] char* ascii_begin(size_t max) {
        reserve(max);
        return reinterpret_cast<char*>(data_ + used_);
    }
    [[gnu::always_inline]] void ascii_end(size_t length) { used_ += length; }
    // The end of the memory held: between ascii_begin and ascii_end a
    // writer may store up to here, past what it reserved, when it has
    // checked that a longer text fits.
    [[gnu::always_inline]] const char* ascii_limit() const {
        return reinterpret_cast<const char*>(data_ + capacity_);
    }

    // A literal: its length known here, the copy needs no library call;
    // one of up to 8 characters is a single store of a constant. (Its bytes
    // are gathered by shifts, not copied into a local block: a block built
    // from narrower stores and read back whole stalls the read.)
    template <size_t N>
    [[gnu::always_inline]] void append_literal(const char (&text)[N]) {
        if constexpr (N - 1 <= 8) {
            uint64_t block = 0;
            for (size_t i = 0; i + 1 < N; ++i)
                block |= uint64_t{static_cast<uint8_t>(text[i])} << (8 * i);
            append_block(block, N - 1);
        } else {
            append_bytes(text, N - 1);
        }
    }

    // The first `length` (at most 8) bytes of an 8-byte block, stored whole.
    [[gnu::always_inline]] void append_short(const char (&block)[8], size_t length) {
        uint64_t bytes;
        std::memcpy(&bytes, block, 8);
        append_block(bytes, length);
    }

    [[gnu::always_inline]] void put(char c) {
        reserve(1);
        data_[used_++] = static_cast<uint8_t>(c);
    }

    // `count` copies of the byte `c`.
    void fill(char c, size_t count) {
        reserve(count);
        std::memset(data_ + used_, c, count);
        used_ += count;
    }

    // Appends bytes as units, each byte one character (escapes at any
    // width; Latin-1 text). At width 1 this is a plain copy, so the byte
    // escapers' tests may pass UTF-8 through it too.
    [[gnu::always_inline]] void append_bytes(const char* text, size_t length) {
        reserve(length);
        switch (shift_) {
            case 0: std::memcpy(data_ + used_, text, length); break;
            case 1: widen_bytes(tail<uint16_t>(), text, length); break;
            default: widen_bytes(tail<uint32_t>(), text, length); break;
        }
        commit(length);
    }

    // Appends `length` code units of `kind` bytes each (1, 2 or 4, at most
    // the current width) unchanged.
    void append_units(const void* units, unsigned kind, size_t length) {
        if (kind == width()) {
            reserve(length);
            std::memcpy(data_ + used_, units, length << shift_);
            commit(length);
        } else if (kind == 1) {
            append_bytes(static_cast<const char*>(units), length);
        } else {
            reserve(length);
            const auto* from = static_cast<const uint16_t*>(units);
            uint32_t* to = tail<uint32_t>();
            for (size_t i = 0; i < length; ++i) to[i] = from[i];
            commit(length);
        }
    }

    // Widens the text written so far to `width` bytes a unit (no-op when
    // the buffer is already that wide or wider).
    void widen(unsigned width) {
        if (width <= this->width()) return;
        const unsigned shift = width == 2 ? 1 : 2;
        const size_t units = size();
        if (units > (SIZE_MAX >> shift) - kHeadroom) throw std::bad_alloc();
        if ((units << shift) > capacity_) grow_to((units + kHeadroom) << shift);
        // Back to front, so that each unit is read before it is overwritten.
        if (shift_ == 0 && shift == 1) widen_back<uint8_t, uint16_t>(units);
        else if (shift_ == 0) widen_back<uint8_t, uint32_t>(units);
        else widen_back<uint16_t, uint32_t>(units);
        shift_ = shift;
        used_ = units << shift;
    }

private:
    // The first `length` bytes of `block` (in memory order), stored whole.
    [[gnu::always_inline]] void append_block(uint64_t block, size_t length) {
        reserve(8);
        std::memcpy(data_ + used_, &block, 8);
        used_ += length;
    }

    // Room for `units` more units plus kHeadroom more.
    [[gnu::noinline]] void grow(size_t units) {
        size_t wanted = 0;
        if (__builtin_add_overflow(units, kHeadroom, &wanted) || wanted > (SIZE_MAX >> shift_) ||
            __builtin_add_overflow(used_, wanted << shift_, &wanted))
            throw std::bad_alloc();
        grow_to(wanted);
    }

    void grow_to(size_t bytes) {
        size_t capacity = capacity_ ? capacity_ : kInitialCapacity;
        while (capacity < bytes) capacity = capacity > SIZE_MAX / 2 ? bytes : capacity * 2;
        auto* grown = static_cast<uint8_t*>(std::realloc(data_, capacity));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        capacity_ = capacity;
    }

    // The 16 bytes of `bytes` as 16 units of 2 bytes (`shift` 1) or 4 bytes
    // (`shift` 2) at `out`, with SSE2, which every x86-64 processor has.
    static void store_widened(__m128i bytes, uint8_t* out, unsigned shift) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
        auto* at = reinterpret_cast<__m128i*>(out);
        if (shift == 1) {
            _mm_storeu_si128(at, low);
            _mm_storeu_si128(at + 1, high);
        } else {
            _mm_storeu_si128(at, _mm_unpacklo_epi16(low, zero));
            _mm_storeu_si128(at + 1, _mm_unpackhi_epi16(low, zero));
            _mm_storeu_si128(at + 2, _mm_unpacklo_epi16(high, zero));
            _mm_storeu_si128(at + 3, _mm_unpackhi_epi16(high, zero));
        }
    }

    template <class Unit>
    static void widen_bytes(Unit* out, const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(text[i]);
    }

    // 16-byte blocks from the end first: a block is loaded before the stores
    // that may overlap it, and the wider stores land at or past it, never on
    // the units still to be read.
    template <class From, class To>
    void widen_back(size_t units) {
        const auto* from = reinterpret_cast<const From*>(data_);
        auto* to = reinterpret_cast<To*>(data_);
        constexpr size_t kUnits = 16 / sizeof(From);
        size_t i = units;
        for (; i >= kUnits; i -= kUnits) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i - kUnits));
            auto* out = reinterpret_cast<uint8_t*>(to + i - kUnits);
            if constexpr (sizeof(From) == 1) {
                store_widened(block, out, sizeof(To) == 2 ? 1 : 2);
            } else {
                const __m128i zero = _mm_setzero_si128();
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(block, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + 1, _mm_unpackhi_epi16(block, zero));
            }
        }
        while (i-- > 0) to[i] = from[i];
    }

    uint8_t* data_ = nullptr;
    size_t used_ = 0;      // bytes
    size_t capacity_ = 0;  // bytes
    unsigned shift_ = 0;   // log2 of the width
};

}  // namespace vesk
