// The writer's whole output: narrow text at one byte a unit, with the
// strings that need wider units kept apart and spliced in when the result
// is filled.
//
// Python builds a `str` in one of three fixed widths, that of its widest
// character. Most documents are ASCII but for a few strings; writing all
// of their text at the widest width would double or quadruple the bytes
// that every key, number and bracket costs. So only the wide strings are
// written wide, into a second buffer, each remembered with the point of
// the narrow text where it belongs; `copy_to` then fills the result in one
// pass, widening the narrow stretches between them.
//
// Plain C++, like the buffer: the native tests use it without Python.h.
#pragma once

#include <cstddef>
#include <vector>

#include "types/output_buffer.hpp"

namespace vesk {

class OutputText {
public:
    // A point to return to: rewind drops everything written after it.
    struct Mark {
        size_t narrow, wide, splices;
    };

    // Latin-1 units (ASCII among them); never widened.
    OutputBuffer& narrow() { return narrow_; }

    size_t size() const { return narrow_.size() + wide_.size(); }  // in units, all told

    // Appends one wide string (`kind` 2 or 4 bytes a unit) at the narrow
    // text's end: `write(buffer)` appends its units to a buffer at least
    // that wide and returns false to give them up, leaving nothing behind.
    template <class Write>
    bool add_wide(unsigned kind, Write&& write) {
        const size_t start = wide_.size();
        wide_.widen(kind);
        if (!write(wide_)) {
            wide_.truncate(start);
            return false;
        }
        splices_.push_back({narrow_.size(), wide_.size()});
        return true;
    }

    Mark mark() const { return {narrow_.size(), wide_.size(), splices_.size()}; }
    void rewind(const Mark& mark) {
        narrow_.truncate(mark.narrow);
        wide_.truncate(mark.wide);
        splices_.resize(mark.splices);
    }

    // Empties the text; the memory is kept.
    void clear() {
        narrow_.clear();
        wide_.clear();
        splices_.clear();
    }

    // Writes the size() units at `out`, `kind` bytes each (1, 2 or 4). Every
    // unit must fit that kind: the wide buffer may be wider than the
    // strings it still holds, after a rewind, and is narrowed as it goes.
    void copy_to(void* out, unsigned kind) const;

private:
    // The wide units from the previous splice's end up to `end` stand
    // before narrow unit `at`.
    struct Splice {
        size_t at, end;
    };

    OutputBuffer narrow_, wide_;
    std::vector<Splice> splices_;
};

}  // namespace vesk
