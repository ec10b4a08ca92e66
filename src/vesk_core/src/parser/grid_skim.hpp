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

// Bytes that end a bare name or cell of an inline row; in a cell, a
// backslash also takes the next byte into the text. The writer derives from
// these which texts it may leave bare.
constexpr bool ends_bare_text(uint8_t c) {
    return c == '\t' || c == ',' || c == ';' || c == '|' || c == ']';
}

// Bytes that end a cell: those that end bare text, and in a row on a line
// of its own the line break and the `}` that may close the object around a
// `[N]{names}:` table, which has no closing bracket of its own.
constexpr bool ends_cell(uint8_t c, bool lines) {
    return ends_bare_text(c) || (lines && (c == '\n' || c == '}'));
}

// First bytes of a cell that is always read as a JSON value: a quoted
// string, a list or table, an object. Any other cell is bare text, which
// is a number or literal when the whole of it is one (read_scalar_text).
constexpr bool opens_value(uint8_t c) { return c == '"' || c == '[' || c == '{'; }

// Whitespace trimmed from the end of bare names and cells.
inline bool is_trailing_blank(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Where bare text stops: cells where a cell ends (ends_cell), names of a
// `[N:` header also at a line break, which ends a header whose rows stand
// on lines of their own, and names of `[N]{names}` where a cell of its rows
// ends. Cells take backslash escapes, names do not.
enum class BareStops : uint8_t { name, cell, line_cell, braced_name };

struct BareText {
    uint64_t end;       // the byte that stopped it, or the input length
    bool escaped;       // a backslash was taken
    bool truncated;     // a backslash was the last byte of the input
};

// Scans a bare name or cell from `pos` up to the first byte of `stops`.
BareText scan_bare_text(const uint8_t* input, uint64_t length, uint64_t pos, BareStops stops);

// Whether a header whose name ends at `p` ends at a line break, its rows
// then standing on lines of their own: past spaces and carriage returns a
// line feed, and past the filler after it no `;` (which ends an inline
// header on a later line). `line` is where the line feed is; where the
// text ends first, the answer is not known yet.
enum class HeaderEnd : uint8_t { no, line, unknown };
HeaderEnd header_end_at(const uint8_t* input, uint64_t length, uint64_t p, uint64_t& line);

// `pos` is just past a `[` and its filler. Returns the offset of the grid
// marker when `:` or `digits spaces :` stands there, else `length`.
uint64_t grid_marker_at(const uint8_t* input, uint64_t length, uint64_t pos);

// `pos` is just past a `[` and its filler. Returns the offset of the `{`
// when `digits]{` stands there (a table of `[N]{names}:` and N rows, each
// on a line of its own), else `length`. No other text has a `{` right after
// a list.
uint64_t counted_marker_at(const uint8_t* input, uint64_t length, uint64_t pos);
// Whether `digits]` at `pos` ends the text, which more text may yet make a
// counted table's opening.
bool counted_marker_may_follow(const uint8_t* input, uint64_t length, uint64_t pos);

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
// space) follows the last separator (or the header) before the `]`; it
// means nothing for a table whose header ends at a line break. Tables of
// `[N]{names}:`, which end after their rows without a bracket, are skimmed
// as the bytes of the row that holds them. `depth_budget` bounds the
// nesting of containers inside the grid.
GridSkim skim_grid(const uint8_t* input, uint64_t length, const StructuralIndex& index,
                   uint64_t start, uint32_t depth_budget);

}  // namespace vesk
