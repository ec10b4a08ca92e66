// The per-thread key cache: one shared Python str per distinct short key.
//
// Keys of at most 64 bytes are cached, at most 2048 of them, evicted first in
// first out (a hit does not refresh an entry). Dictionaries of one document,
// and of later documents read on the same thread, share their key objects,
// whose hashes the interpreter has then already computed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "py_ref.hpp"

namespace vesk {

inline constexpr size_t kMaxCachedKeyLength = 64;
inline constexpr size_t kKeyCacheCapacity = 2048;

// Open addressing over 4096 slots (load factor at most 1/2) that point into
// a ring of 2048 entries. The ring's order is the insertion order, so the
// entry at `next_` is both the next one to fill and, once full, the oldest.
//
// In front of the keyed hash sits a direct-mapped memo indexed by a cheap
// hash of the key: a guess at the entry, confirmed by comparing the key.
// Keys that repeat within a document mostly hit it and skip SipHash;
// colliding keys only miss it, so it adds no flooding weakness.
//
// A key is compared through two words, its first and last eight bytes
// (four, or three single bytes, for shorter keys), which together hold a
// key of up to 16 bytes whole. Each entry keeps those words, its length and
// its string in one 32-byte record, so a hit on such a key reads one cache
// line of entries; only longer keys compare their middle bytes, kept apart.
class StringCache {
public:
    StringCache();
    ~StringCache();
    StringCache(const StringCache&) = delete;
    StringCache& operator=(const StringCache&) = delete;

    // The cached string for a key of at most kMaxCachedKeyLength bytes, or
    // empty; `hash` receives the key's hash for a following insert.
    PyRef find(const char* bytes, size_t length, uint64_t& hash);
    // The same from the memo alone (borrowed), or null: no hash is taken.
    PyObject* find_remembered(const char* bytes, size_t length) const;

    // Caches a key that find() missed, evicting the oldest entry when full.
    // Empty (Python error pending, cache unchanged) on invalid UTF-8. Keys
    // holding a backslash are returned but never cached.
    PyRef insert(const char* bytes, size_t length, uint64_t hash);

private:
    static constexpr size_t kSlotCount = 2 * kKeyCacheCapacity;
    static constexpr size_t kSlotMask = kSlotCount - 1;
    static constexpr uint16_t kEmpty = 0xFFFF;
    static constexpr size_t kMemoSize = 1024;

    struct KeyWords {
        uint64_t head = 0;
        uint64_t tail = 0;
    };

    struct alignas(32) Entry {
        KeyWords words;
        PyObject* str;  // owned; null while the entry is free
        uint64_t length;
    };

    static KeyWords key_words(const char* bytes, size_t length);
    [[gnu::noinline]] PyRef find_keyed(const char* bytes, size_t length, const KeyWords& words,
                                       uint16_t& memo, uint64_t& hash);
    static size_t memo_slot(const KeyWords& words, size_t length);
    bool same_key(size_t index, const KeyWords& words, const char* bytes, size_t length) const;
    void evict(size_t index);

    uint64_t k0_ = 0, k1_ = 0;
    size_t size_ = 0;
    size_t next_ = 0;
    uint16_t slots_[kSlotCount];
    uint16_t memo_[kMemoSize];  // entry indexes, or kEmpty
    Entry entries_[kKeyCacheCapacity] = {};
    uint64_t hashes_[kKeyCacheCapacity] = {};                     // keyed hash per entry
    char middles_[kKeyCacheCapacity][kMaxCachedKeyLength] = {};  // whole key bytes per entry
};

inline StringCache::KeyWords StringCache::key_words(const char* bytes, size_t length) {
    KeyWords w;
    if (length >= 8) {
        std::memcpy(&w.head, bytes, 8);
        std::memcpy(&w.tail, bytes + length - 8, 8);
    } else if (length >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, bytes, 4);
        std::memcpy(&tail, bytes + length - 4, 4);
        w.head = head;
        w.tail = tail;
    } else if (length > 0) {
        const auto byte = [bytes](size_t i) { return uint64_t{static_cast<uint8_t>(bytes[i])}; };
        w.head = byte(0) | byte(length / 2) << 8 | byte(length - 1) << 16;
    }
    return w;
}

inline size_t StringCache::memo_slot(const KeyWords& words, size_t length) {
    const uint64_t mixed =
        (words.head ^ (words.tail * 0x9E3779B97F4A7C15ull) ^ length) * 0xFF51AFD7ED558CCDull;
    return static_cast<size_t>(mixed >> 54);  // top 10 bits: kMemoSize slots
}

// The words hold keys of up to 16 bytes whole; a longer key's bytes between
// its first and last eight are compared apart.
inline bool StringCache::same_key(size_t index, const KeyWords& words, const char* bytes,
                           size_t length) const {
    const Entry& e = entries_[index];
    if (e.length != length || e.words.head != words.head || e.words.tail != words.tail || !e.str)
        return false;
    return length <= 16 || std::memcmp(middles_[index] + 8, bytes + 8, length - 16) == 0;
}

inline PyObject* StringCache::find_remembered(const char* bytes, size_t length) const {
    const KeyWords words = key_words(bytes, length);
    const uint16_t memo = memo_[memo_slot(words, length)];
    return memo != kEmpty && same_key(memo, words, bytes, length) ? entries_[memo].str : nullptr;
}

inline PyRef StringCache::find(const char* bytes, size_t length, uint64_t& hash) {
    const KeyWords words = key_words(bytes, length);
    uint16_t& memo = memo_[memo_slot(words, length)];
    if (memo != kEmpty && same_key(memo, words, bytes, length))
        return PyRef::borrow(entries_[memo].str);
    return find_keyed(bytes, length, words, memo, hash);
}

// The calling thread's cache, made with the thread's reader state on first
// use; a parser reaches it through its lease, once per call.
StringCache& thread_string_cache();

// The key string for `bytes` decoded as UTF-8, from `cache` where the key is
// short enough. An empty PyRef means the bytes are not valid UTF-8: the cache
// is unchanged and the caller raises its own error. Must be called with the
// interpreter lock held.
PyRef intern_key(StringCache& cache, const char* bytes, size_t length);

inline PyRef intern_key(const char* bytes, size_t length) {
    return intern_key(thread_string_cache(), bytes, length);
}

// Makes a str from bytes: filled without a decoding pass when `ascii`, else
// decoded as strict UTF-8 straight into a str of the final width. Empty with
// a ValueError pending on invalid UTF-8; callers replace it with their own
// message.
PyRef make_str(const char* bytes, size_t length, bool ascii);

}  // namespace vesk
