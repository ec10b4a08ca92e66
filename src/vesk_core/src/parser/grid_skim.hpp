// Grid table text without Python objects: the byte classes of the grid form,
// and a skim that finds a grid's closing bracket and counts its rows.
//
// The skim reads the text the way the row reader tokenizes it, so bytes
// inside quoted names and cells, escaped bytes of bare cells, comments and
// nested containers never end the grid or count as row separators.
#pragma once

#include <cstddef>
#include <cstdint>

#include "types/structural_index.hpp"

namespace vesk {

inline bool is_grid_delimiter(uint8_t c) { return c == '\t' || c == ',' || c == '|'; }

// Bytes that end a bare name or cell; in a cell, a backslash also takes the
// next byte into the text. The writer derives from these which texts it
// may leave bare.
constexpr bool ends_bare_text(uint8_t c) {
    return c == '\t' || c == ',' || c == ';' || c == '|' || c == ']';
}

// First bytes of a cell that is read as a JSON value (a string, number,
// literal, NaN/Infinity, array or object) rather than as bare text.
constexpr bool starts_typed_cell(uint8_t c) {
    switch (c) {
        case '"': case '-': case 'I': case 'N': case 't': case 'f': case 'n': case '[': case '{':
            return true;
        default:
            return c >= '0' && c <= '9';
    }
}

// Whitespace trimmed from the end of bare names and cells.
inline bool is_trailing_blank(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

struct BareText {
    uint64_t end;       // the byte that stopped it, or the input length
    bool escaped;       // a backslash was taken
    bool truncated;     // a backslash was the last byte of the input
};

// Scans a bare name or cell from `pos` up to the first TAB , ; | or ]. With
// `escapes` (cells), a backslash takes the next byte into the text.
BareText scan_bare_text(const uint8_t* input, uint64_t length, uint64_t pos, bool escapes);

// `pos` is just past a `[` and its filler. Returns the offset of the grid
// marker when `:` or `digits spaces :` stands there, else `length`.
uint64_t grid_marker_at(const uint8_t* input, uint64_t length, uint64_t pos);

// `pos` on an opening quote: moves it just past the closing quote (escaped
// quotes skipped). False, with `pos` unchanged, when the string never closes.
// `quotes` is the index and `cursor` a position in it at or
// before `pos`'s entry, advanced for the next call.
bool skip_quoted_string(const uint8_t* input, const StructuralIndex& quotes, uint64_t& cursor,
                        uint64_t& pos);

struct GridSkim {
    enum class Status : uint8_t { ok, unterminated, too_deep };
    Status status = Status::ok;
    uint64_t close = 0;        // the grid's `]` (ok)
    uint64_t rows = 0;         // row count (ok), see skim_grid
    uint64_t too_deep_at = 0;  // the bracket past the nesting budget
};

// `start` is just past the grid marker. Skims the header and the rows up to
// the grid's own `]`. The row count is the number of `;` separating rows at
// the grid's own level, plus one when anything but blanks (TAB, LF, FF, CR,
// space) follows the last separator (or the header) before the `]`.
// `depth_budget` bounds the nesting of containers inside the grid.
GridSkim skim_grid(const uint8_t* input, uint64_t length, const StructuralIndex& index,
                   uint64_t start, uint32_t depth_budget);

}  // namespace vesk
