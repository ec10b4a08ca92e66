#include "parser/string_cache.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "parser/siphash.hpp"
#include "parser/utf8.hpp"
#include "simd/string_scan.hpp"

namespace vesk {
namespace {

bool all_ascii(const char* bytes, size_t length) {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        high |= word;
    }
    for (; i < length; ++i) high |= static_cast<uint8_t>(bytes[i]);
    return (high & 0x8080808080808080ull) == 0;
}

}  // namespace

StringCache::StringCache() {
    uint64_t keys[2];
    if (getrandom(keys, sizeof keys, 0) != static_cast<ssize_t>(sizeof keys)) {
        std::random_device device;  // same kernel source, other interface
        keys[0] = (static_cast<uint64_t>(device()) << 32) | device();
        keys[1] = (static_cast<uint64_t>(device()) << 32) | device();
    }
    k0_ = keys[0];
    k1_ = keys[1];
    std::fill(std::begin(slots_), std::end(slots_), kEmpty);
    std::fill(std::begin(memo_), std::end(memo_), kEmpty);
}

// Runs at thread exit, usually after the thread's Python state is gone: take
// the interpreter lock afresh to release the strings, and abandon them once
// the interpreter is finalising or finalised.
StringCache::~StringCache() {
    if (size_ == 0 || !Py_IsInitialized() || Py_IsFinalizing()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    for (size_t i = 0; i < size_; ++i) Py_DECREF(entries_[i].str);
    PyGILState_Release(state);
}

// Out of line, so that the inlined memo hit stays short.
PyRef StringCache::find_keyed(const char* bytes, size_t length, const KeyWords& words,
                              uint16_t& memo, uint64_t& hash) {
    hash = SipHash13(k0_, k1_).hash_bytes(bytes, length);
    for (size_t slot = hash & kSlotMask; slots_[slot] != kEmpty; slot = (slot + 1) & kSlotMask) {
        const uint16_t index = slots_[slot];
        if (hashes_[index] == hash && same_key(index, words, bytes, length)) {
            memo = index;
            return PyRef::borrow(entries_[index].str);
        }
    }
    return {};
}

PyRef StringCache::insert(const char* bytes, size_t length, uint64_t hash) {
    const ContentScan scan =
        scan_string_content(reinterpret_cast<const uint8_t*>(bytes), length);
    PyRef str = make_str(bytes, length, !scan.backslash && scan.ascii);
    // Keys with a backslash stay out, so a hit tells the parser that the
    // key's raw bytes need no unescaping.
    if (!str || scan.backslash) return str;
    if (size_ == kKeyCacheCapacity) evict(next_);  // the oldest entry
    else ++size_;
    size_t slot = hash & kSlotMask;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & kSlotMask;
    const KeyWords words = key_words(bytes, length);
    Entry& e = entries_[next_];
    e.words = words;
    e.length = length;
    e.str = Py_NewRef(str.get());  // the cache's own reference
    hashes_[next_] = hash;
    std::memcpy(middles_[next_], bytes, length);
    slots_[slot] = static_cast<uint16_t>(next_);
    memo_[memo_slot(words, length)] = static_cast<uint16_t>(next_);
    next_ = (next_ + 1) % kKeyCacheCapacity;
    return str;
}

// Removes entry `index` from the table with backward-shift deletion, so probe
// sequences stay unbroken without tombstones.
void StringCache::evict(size_t index) {
    Entry& e = entries_[index];
    size_t hole = hashes_[index] & kSlotMask;
    while (slots_[hole] != index) hole = (hole + 1) & kSlotMask;
    for (size_t probe = (hole + 1) & kSlotMask; slots_[probe] != kEmpty;
         probe = (probe + 1) & kSlotMask) {
        const size_t home = hashes_[slots_[probe]] & kSlotMask;
        // Move the entry back unless its home lies cyclically in (hole, probe].
        const bool stays =
            hole <= probe ? (hole < home && home <= probe) : (hole < home || home <= probe);
        if (!stays) {
            slots_[hole] = slots_[probe];
            hole = probe;
        }
    }
    slots_[hole] = kEmpty;
    Py_CLEAR(e.str);
}

namespace {

// The first and the last N bytes of `length` (N to 2N) from `in` to `out`.
template <size_t N>
void move_ends(char* out, const char* in, size_t length) {
    char head[N], tail[N];
    std::memcpy(head, in, N);
    std::memcpy(tail, in + length - N, N);
    std::memcpy(out, head, N);
    std::memcpy(out + length - N, tail, N);
}

// Copies `length` (at least 2) bytes; the short texts most strings are
// take two overlapping moves of a fixed size in line instead of a call.
void copy_text(char* out, const char* in, size_t length) {
    if (length > 32) std::memcpy(out, in, length);
    else if (length >= 16) move_ends<16>(out, in, length);
    else if (length >= 8) move_ends<8>(out, in, length);
    else if (length >= 4) move_ends<4>(out, in, length);
    else move_ends<2>(out, in, length);
}

// An ASCII str of `length` (at least 2) characters copied from `bytes`,
// made as PyUnicode_New makes a compact ASCII one (the header, the
// characters, a NUL) without its general checks of size and width, which
// cost about as much again as the allocation.
PyRef new_ascii_str(const char* bytes, size_t length) {
    auto* str = static_cast<PyASCIIObject*>(PyObject_Malloc(sizeof(PyASCIIObject) + length + 1));
    if (!str) return PyRef::steal(PyErr_NoMemory());
    PyRef ref = PyRef::steal(PyObject_Init(reinterpret_cast<PyObject*>(str), &PyUnicode_Type));
    str->length = static_cast<Py_ssize_t>(length);
    str->hash = -1;
    std::memset(&str->state, 0, sizeof str->state);
    str->state.kind = PyUnicode_1BYTE_KIND;
    str->state.compact = 1;
    str->state.ascii = 1;
    auto* data = reinterpret_cast<char*>(str + 1);
    copy_text(data, bytes, length);
    data[length] = '\0';
    return ref;
}

}  // namespace

PyRef make_str(const char* bytes, size_t length, bool ascii) {
    const auto* text = reinterpret_cast<const uint8_t*>(bytes);
    // One character of Latin-1 is the interpreter's shared string, as its
    // own decoder gives it, and so is the empty string.
    if (ascii) {
        if (length == 1) return PyRef::steal(PyUnicode_FromOrdinal(text[0]));
        if (length == 0) return PyRef::steal(PyUnicode_New(0, 0));
        return new_ascii_str(bytes, length);
    }
    // Shaped first, so the str is made once at its final length and width
    // and decoded in place: no growing buffer, no widening copy.
    const Utf8Shape shape = utf8_shape(text, length);
    if (shape.code_points == 1 && shape.max_code_point() <= 0xFF) {
        uint8_t unit;
        if (!decode_utf8(text, length, &unit)) return raise_error(PyExc_ValueError, "invalid UTF-8");
        return PyRef::steal(PyUnicode_FromOrdinal(unit));
    }
    PyRef str = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points),
                                           static_cast<Py_UCS4>(shape.max_code_point())));
    if (!str) return str;
    void* data = PyUnicode_DATA(str.get());
    bool valid;
    switch (PyUnicode_KIND(str.get())) {
        case PyUnicode_1BYTE_KIND:
            valid = decode_utf8(text, length, static_cast<uint8_t*>(data));
            break;
        case PyUnicode_2BYTE_KIND:
            valid = decode_utf8(text, length, static_cast<uint16_t*>(data));
            break;
        default:
            valid = decode_utf8(text, length, static_cast<uint32_t*>(data));
            break;
    }
    if (!valid) return raise_error(PyExc_ValueError, "invalid UTF-8");
    return str;
}

PyRef intern_key(StringCache& cache, const char* bytes, size_t length) {
    if (length > kMaxCachedKeyLength) return make_str(bytes, length, all_ascii(bytes, length));
    uint64_t hash = 0;
    if (PyRef hit = cache.find(bytes, length, hash)) return hit;
    return cache.insert(bytes, length, hash);
}

}  // namespace vesk
