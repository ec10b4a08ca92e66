// A reply read as it arrives, without Python objects: where the document
// lies inside a Markdown code fence, and where a value, key or table row
// that has begun ends. The text only ever grows between calls, and each
// scan keeps its state, so each byte is looked at a bounded number of
// times however the text is cut into chunks.
#pragma once

#include <cstdint>
#include <vector>

namespace vesk {

// The document's span in a reply that may be wrapped in a code fence: past
// the opening fence line (three backticks and the rest of the line), up to
// the first line that starts with three backticks after blanks. Text that
// does not start with a fence is the document as it stands.
class FenceScan {
public:
    explicit FenceScan(bool fenced) : state_(fenced ? State::opening : State::plain) {}

    // Reads the text so far. False while an opening fence line is still
    // unfinished; else [begin, end) is the document so far, short of a last
    // line that may still become the closing fence line.
    bool update(const uint8_t* text, uint64_t length);
    // The end once no more text will come: a last line that never became
    // the closing fence belongs to the document.
    uint64_t final_end(uint64_t length) const { return state_ == State::closed ? end : length; }

    uint64_t begin = 0;
    uint64_t end = 0;

private:
    enum class State : uint8_t { opening, inside, closed, plain };
    State state_;
    uint64_t line_ = 0;   // the line being read
    uint64_t blank_ = 0;  // its first byte not yet known to be a blank
    uint64_t scan_ = 0;   // where the search for its line end goes on
};

// Filler (whitespace, `//` and `/* */` comments, a byte order mark at
// offset 0) skipped a piece of text at a time: a comment the text cuts is
// remembered, and a `/` at the end waits for the byte that tells.
class FillerScan {
public:
    // Moves `pos` over filler: true on a byte that is not filler, false at
    // `length`.
    bool skip(const uint8_t* text, uint64_t length, uint64_t& pos);

private:
    enum class Comment : uint8_t { none, line, block };
    Comment comment_ = Comment::none;
};

// Where a unit of text that has begun ends, found a piece at a time: a
// value or object key, a table's header, or a row of a table whose rows
// are followed. The
// scan tells where the unit may end; the reader, given the text up to
// there, has the last word.
//
// The grid rules it follows are these few: inside a table, a row ends at a
// `;` or `]` of its own level (ends_row); a cell or header name that does
// not open a string or container is bare text up to the bytes of
// ends_bare_text (a backslash in a cell takes the next byte along); `[`
// opens a table where `:` or digits, spaces and `:` follow it.
class EndScan {
public:
    enum class Unit : uint8_t { value, header, row };

    // Starts at `at`, the first byte of a value or key, a header or a row. A
    // container opened more than `depth_budget` levels deep ends the scan
    // there: the reader then reports the nesting.
    void start(Unit unit, uint64_t at, uint32_t depth_budget);
    // Reads on up to `length`. True once the text may hold the whole unit:
    // `pos` is then just past a string or container, on the byte after a
    // scalar, or on the byte that ends a header or row.
    bool scan(const uint8_t* text, uint64_t length);

    uint64_t pos = 0;

private:
    // How the bytes of a level read: the unit's own level (`value`, or a
    // table's `header` or `rows`), and the containers and tables inside it.
    enum class Context : uint8_t { value, container, header, rows };
    // `bracket`, `count` and `count_spaces`: after a `[` that may open a table.
    enum class Mode : uint8_t { token, string, bare, scalar, bracket, count, count_spaces };

    // False when the level would go past the depth budget.
    bool open(Context context);
    // Closes the innermost level; true when that finishes the unit.
    bool close();
    // The next token of the current level at `pos`; true when it ends the unit.
    bool token(const uint8_t* text, uint64_t length);

    std::vector<Context> levels_;  // the unit's own level first
    FillerScan filler_;
    Mode mode_ = Mode::token;
    uint32_t depth_budget_ = 0;
};

}  // namespace vesk
