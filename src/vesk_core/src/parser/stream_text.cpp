#include "parser/stream_text.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "parser/grid_skim.hpp"
#include "simd/string_scan.hpp"

namespace vesk {
namespace {

constexpr char kFence[] = "```";

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// The bytes that end a number, literal or key at the unit's own level: the
// bytes that end a key of a schema-mapped object, the widest of them.
bool ends_scalar(uint8_t c) {
    return c <= ' ' || c == ':' || c == ',' || c == '}' || c == '{' || c == '[' || c == ']' ||
           c == '"' || c == '/';
}

// The grid rule for the end of a row, at the table's own level.
bool ends_row(uint8_t c) { return c == ';' || c == ']'; }

// Inside a container, the bytes that need a look: the rest (keys, numbers,
// literals, separators, whitespace) are stepped over in a run.
constexpr std::array<bool, 256> kContainerStops = [] {
    std::array<bool, 256> stops{};
    for (const char c : {'"', '[', ']', '{', '}', '/'}) stops[static_cast<uint8_t>(c)] = true;
    return stops;
}();

}  // namespace

bool FenceScan::update(const uint8_t* text, uint64_t length) {
    if (state_ == State::opening) {
        while (blank_ < length && (text[blank_] == ' ' || text[blank_] == '\t' ||
                                   text[blank_] == '\n' || text[blank_] == '\r'))
            ++blank_;
        const uint64_t ticks = std::min<uint64_t>(length - blank_, 3);
        if (std::memcmp(text + blank_, kFence, ticks) != 0) {
            state_ = State::plain;
        } else {
            if (ticks < 3) return false;
            scan_ = std::max(scan_, blank_ + 3);
            const auto* line_end =
                static_cast<const uint8_t*>(std::memchr(text + scan_, '\n', length - scan_));
            if (!line_end) {
                scan_ = length;
                return false;
            }
            begin = line_ = blank_ = scan_ = static_cast<uint64_t>(line_end - text) + 1;
            state_ = State::inside;
        }
    }
    if (state_ == State::plain) {
        end = length;
        return true;
    }
    while (state_ == State::inside) {
        while (blank_ < length && (text[blank_] == ' ' || text[blank_] == '\t')) ++blank_;
        const uint64_t left = length - blank_;
        if (left >= 3 && std::memcmp(text + blank_, kFence, 3) == 0) {
            end = line_;
            state_ = State::closed;
            break;
        }
        scan_ = std::max(scan_, blank_);
        const auto* line_end =
            static_cast<const uint8_t*>(std::memchr(text + scan_, '\n', length - scan_));
        if (!line_end) {
            scan_ = length;
            const bool may_close =
                left > 0 && left < 3 && std::memcmp(text + blank_, kFence, left) == 0;
            end = may_close ? line_ : length;
            break;
        }
        line_ = blank_ = scan_ = static_cast<uint64_t>(line_end - text) + 1;
    }
    return true;
}

bool FillerScan::skip(const uint8_t* text, uint64_t length, uint64_t& pos) {
    while (pos < length) {
        if (comment_ == Comment::line) {
            while (pos < length && text[pos] != '\n' && text[pos] != '\r') ++pos;
            if (pos >= length) return false;
            ++pos;
            comment_ = Comment::none;
            continue;
        }
        if (comment_ == Comment::block) {
            // The first `*/` at or after `pos`; a `*` at the end waits for its next byte.
            const auto* star = static_cast<const uint8_t*>(
                pos + 1 < length ? std::memchr(text + pos, '*', length - 1 - pos) : nullptr);
            if (!star) {
                pos = length - 1;
                return false;
            }
            pos = static_cast<uint64_t>(star - text) + 1;
            if (text[pos] == '/') {
                ++pos;
                comment_ = Comment::none;
            }
            continue;
        }
        const uint8_t c = text[pos];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++pos;
        } else if (c == '/') {
            if (pos + 1 >= length) return false;
            if (text[pos + 1] != '/' && text[pos + 1] != '*') return true;
            comment_ = text[pos + 1] == '/' ? Comment::line : Comment::block;
            pos += 2;
        } else if (c == 0xEF && pos == 0 && length >= 3 && text[1] == 0xBB && text[2] == 0xBF) {
            pos = 3;
        } else {
            return true;
        }
    }
    return false;
}

void EndScan::start(Unit unit, uint64_t at, uint32_t depth_budget) {
    pos = at;
    levels_.assign(1, unit == Unit::row      ? Context::rows
                      : unit == Unit::header ? Context::header
                                             : Context::value);
    filler_ = FillerScan();
    mode_ = Mode::token;
    depth_budget_ = depth_budget;
}

bool EndScan::open(Context context) {
    if (levels_.size() > depth_budget_) return false;
    levels_.push_back(context);
    mode_ = Mode::token;
    return true;
}

bool EndScan::close() {
    levels_.pop_back();
    return levels_.back() == Context::value;
}

bool EndScan::token(const uint8_t* text, uint64_t length) {
    const uint8_t c = text[pos];
    const Context level = levels_.back();
    // A string or container opens wherever a value may begin; a table
    // header takes `[` and `{` as bare text.
    if (c == '"') {
        ++pos;
        mode_ = Mode::string;
        return false;
    }
    if (level != Context::header && c == '[') {
        ++pos;
        mode_ = Mode::bracket;
        return false;
    }
    if (level != Context::header && c == '{') {
        if (!open(Context::container)) return true;
        ++pos;
        return false;
    }
    switch (level) {
        case Context::value:
            // No value begins here: the reader tells what is wrong.
            if (ends_scalar(c)) return true;
            mode_ = Mode::scalar;
            return false;
        case Context::container:
            ++pos;
            if (c == ']' || c == '}') return close();
            while (pos < length && !kContainerStops[text[pos]]) ++pos;
            return false;
        case Context::header:
        case Context::rows:
            if (ends_row(c)) {
                if (levels_.size() == 1) return true;  // the unit's own header or row
                ++pos;
                if (c == ']') return close();
                levels_.back() = Context::rows;  // a header's `;` begins the rows
                return false;
            }
            // A delimiter, or a byte that ends bare text without ending the row.
            if (ends_bare_text(c))
                ++pos;
            else
                mode_ = Mode::bare;
            return false;
    }
    return false;
}

bool EndScan::scan(const uint8_t* text, uint64_t length) {
    while (pos < length) {
        switch (mode_) {
            case Mode::token:
                if (!filler_.skip(text, length, pos)) return false;
                if (token(text, length)) return true;
                break;
            case Mode::string:
                pos = find_escape_stop_avx2(text, length, pos);
                if (pos >= length) return false;
                if (text[pos] == '"') {
                    ++pos;
                    mode_ = Mode::token;
                    if (levels_.back() == Context::value) return true;
                } else if (text[pos] == '\\') {
                    if (pos + 1 >= length) return false;  // the escaped byte has not come
                    pos += 2;
                } else {
                    ++pos;  // a control byte, which the reader refuses
                }
                break;
            case Mode::bare: {
                const BareText bare = scan_bare_text(
                    text, length, pos,
                    levels_.back() == Context::rows ? BareStops::cell : BareStops::name);
                if (bare.truncated) {  // a backslash waits for the byte it takes
                    pos = length - 1;
                    return false;
                }
                pos = bare.end;
                if (pos < length) mode_ = Mode::token;  // on the byte that ended it
                break;
            }
            case Mode::scalar:
                while (pos < length && !ends_scalar(text[pos])) ++pos;
                return pos < length;
            case Mode::bracket:
                if (!filler_.skip(text, length, pos)) return false;
                if (text[pos] == ':') {
                    ++pos;
                    if (!open(Context::header)) return true;
                } else if (is_digit(text[pos])) {
                    ++pos;
                    mode_ = Mode::count;
                } else if (!open(Context::container)) {
                    return true;
                }
                break;
            case Mode::count:
            case Mode::count_spaces: {
                const bool digits = mode_ == Mode::count;
                while (pos < length && (digits ? is_digit(text[pos]) : text[pos] == ' ')) ++pos;
                if (pos >= length) return false;
                if (digits && text[pos] == ' ') {
                    mode_ = Mode::count_spaces;
                } else if (text[pos] == ':') {
                    ++pos;
                    if (!open(Context::header)) return true;
                } else if (!open(Context::container)) {
                    return true;
                }
                break;
            }
        }
    }
    return false;
}

}  // namespace vesk
