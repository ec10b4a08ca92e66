#include "parser/grid_skim.hpp"

#include <array>
#include <vector>

#include "simd/whitespace.hpp"

namespace vesk {
namespace {

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Where the skim stands: in a grid's header, in its rows separated by `;`,
// in its rows on lines of their own, or in a list or object.
enum class Context : uint8_t { header, rows, lines, container };

// Bytes that stop the plain run of bare text, one table per BareStops
// value; cells stop at `\\` too, which escapes the next byte.
using StopTable = std::array<bool, 256>;
constexpr std::array<StopTable, 4> kStops = [] {
    std::array<StopTable, 4> tables{};
    for (int i = 0; i < 256; ++i) {
        const auto c = static_cast<uint8_t>(i);
        tables[static_cast<int>(BareStops::name)][c] = ends_bare_text(c) || c == '\n';
        tables[static_cast<int>(BareStops::cell)][c] = ends_cell(c, false) || c == '\\';
        tables[static_cast<int>(BareStops::line_cell)][c] = ends_cell(c, true) || c == '\\';
        tables[static_cast<int>(BareStops::braced_name)][c] = ends_cell(c, true);
    }
    return tables;
}();

// After a header name: whether the rows stand on lines of their own.
bool line_break_follows(const uint8_t* input, uint64_t length, uint64_t p) {
    uint64_t line = 0;
    return header_end_at(input, length, p, line) == HeaderEnd::line;
}

// Blanks between cells of rows on lines of their own: no comment is
// filler there.
bool is_line_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

BareText scan_bare_text(const uint8_t* input, uint64_t length, uint64_t pos, BareStops which) {
    const StopTable& stops = kStops[static_cast<int>(which)];
    BareText text{pos, false, false};
    uint64_t p = pos;
    for (;;) {
        while (p < length && !stops[input[p]]) ++p;
        if (p >= length || input[p] != '\\') break;
        if (p + 1 >= length) {
            text.truncated = true;
            p = length;
            break;
        }
        text.escaped = true;
        p += 2;
    }
    text.end = p;
    return text;
}

HeaderEnd header_end_at(const uint8_t* input, uint64_t length, uint64_t p, uint64_t& line) {
    while (p < length && (input[p] == ' ' || input[p] == '\r')) ++p;
    if (p >= length) return HeaderEnd::unknown;
    if (input[p] != '\n') return HeaderEnd::no;
    line = p;
    skip_whitespace_simd(input, length, p);
    if (p >= length) return HeaderEnd::unknown;
    return input[p] == ';' ? HeaderEnd::no : HeaderEnd::line;
}

uint64_t grid_marker_at(const uint8_t* input, uint64_t length, uint64_t pos) {
    if (pos < length && input[pos] == ':') return pos;
    if (pos >= length || !is_digit(input[pos])) return length;
    uint64_t p = pos;
    while (p < length && is_digit(input[p])) ++p;
    while (p < length && input[p] == ' ') ++p;
    return p < length && input[p] == ':' ? p : length;
}

uint64_t counted_marker_at(const uint8_t* input, uint64_t length, uint64_t pos) {
    uint64_t p = pos;
    while (p < length && is_digit(input[p])) ++p;
    return p > pos && p + 1 < length && input[p] == ']' && input[p + 1] == '{' ? p + 1 : length;
}

bool counted_marker_may_follow(const uint8_t* input, uint64_t length, uint64_t pos) {
    uint64_t p = pos;
    while (p < length && is_digit(input[p])) ++p;
    return p > pos && p + 1 == length && input[p] == ']';
}

bool skip_quoted_string(const uint8_t* input, const StructuralIndex& quotes, uint64_t& cursor,
                        uint64_t& pos) {
    while (cursor < quotes.size() && quotes[cursor] <= pos) ++cursor;
    for (; cursor < quotes.size(); ++cursor) {
        const uint64_t quote = quotes[cursor];
        uint64_t backslashes = 0;
        while (quote - backslashes > pos + 1 && input[quote - backslashes - 1] == '\\')
            ++backslashes;
        if (backslashes % 2 == 0) {
            pos = quote + 1;
            ++cursor;
            return true;
        }
    }
    return false;
}

GridSkim skim_grid(const uint8_t* input, uint64_t length, const StructuralIndex& index,
                   uint64_t start, uint32_t depth_budget) {
    GridSkim result;
    // The first quote entry at or after `start`, by binary search.
    uint64_t quote_cursor = 0;
    for (uint64_t count = index.size(); count > 0;) {
        const uint64_t half = count / 2;
        if (index[quote_cursor + half] < start) {
            quote_cursor += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    // Innermost last; the skimmed grid itself is the first entry.
    std::vector<Context> stack{Context::header};
    uint64_t separators = 0;
    uint64_t tail = length;  // where the text after the last separator begins
    uint64_t p = start;
    for (;;) {
        if (stack.back() == Context::lines) {
            while (p < length && is_line_blank(input[p])) ++p;
        } else {
            skip_whitespace_simd(input, length, p);
        }
        if (p >= length) break;
        const uint8_t c = input[p];
        const Context context = stack.back();
        if (c == '"') {  // a quoted name, cell, key or string
            if (!skip_quoted_string(input, index, quote_cursor, p)) break;
            if (context == Context::header && line_break_follows(input, length, p))
                stack.back() = Context::lines;
            continue;
        }
        // A container opens where a value may begin: never in a header,
        // where `[` and `{` start bare names.
        if ((c == '[' || c == '{') && context != Context::header) {
            if (stack.size() > depth_budget) {
                result.status = GridSkim::Status::too_deep;
                result.too_deep_at = p;
                return result;
            }
            uint64_t inner = p + 1;
            skip_whitespace_simd(input, length, inner);
            const uint64_t marker = c == '[' ? grid_marker_at(input, length, inner) : length;
            stack.push_back(marker < length ? Context::header : Context::container);
            p = marker < length ? marker + 1 : p + 1;
            continue;
        }
        if (context == Context::container) {
            if (c == ']' || c == '}') stack.pop_back();
            ++p;  // keys, numbers, literals and punctuation alike
            continue;
        }
        // Inside a grid: its header or its rows.
        if (c == ']') {
            if (stack.size() > 1) {
                stack.pop_back();
                ++p;
                continue;
            }
            result.close = p;
            result.rows = separators;
            for (uint64_t q = tail; q < p; ++q) {
                if (!is_trailing_blank(input[q])) {
                    ++result.rows;
                    break;
                }
            }
            return result;
        }
        if (c == ';') {
            if (context == Context::header) {
                stack.back() = Context::rows;
                if (stack.size() == 1) tail = p + 1;
            } else if (context == Context::rows && stack.size() == 1) {
                ++separators;
                tail = p + 1;
            }
            ++p;
        } else if (is_grid_delimiter(c) || (c == '}' && context == Context::lines)) {
            ++p;
        } else {
            // A bare name or cell, or a typed scalar (which holds none of
            // the bytes that end bare text). Cells take escapes, names not.
            const BareStops stops = context == Context::header ? BareStops::name
                                    : context == Context::rows ? BareStops::cell
                                                               : BareStops::line_cell;
            const BareText text = scan_bare_text(input, length, p, stops);
            if (text.truncated) break;
            p = text.end;
            if (context == Context::header && line_break_follows(input, length, p))
                stack.back() = Context::lines;
        }
    }
    result.status = GridSkim::Status::unterminated;
    return result;
}

}  // namespace vesk
