// Filler skipping: whitespace, comments and the byte order mark.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

#include "simd/whitespace.hpp"

namespace vesk {
namespace {

using namespace std::string_view_literals;

// Inputs are copied to end right before an unreadable page, so a read past
// the last byte faults instead of passing unnoticed.
class GuardedCopy {
public:
    GuardedCopy() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<uint8_t*>(p);
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    ~GuardedCopy() { munmap(base_, 2 * page_); }

    const uint8_t* place(std::string_view input) {
        if (input.size() > page_) throw std::length_error("input longer than a page");
        uint8_t* start = base_ + page_ - input.size();
        if (!input.empty()) std::memcpy(start, input.data(), input.size());
        return start;
    }

private:
    size_t page_ = 0;
    uint8_t* base_ = nullptr;
};

uint64_t skip(std::string_view input, uint64_t start) {
    static GuardedCopy guarded;
    const uint8_t* bytes = guarded.place(input);
    uint64_t position = start;
    skip_whitespace_simd(bytes, input.size(), position);
    return position;
}

// The rule, one byte at a time.
uint64_t reference_skip(std::string_view s, uint64_t pos) {
    const uint64_t n = s.size();
    auto at = [&](uint64_t i, char c) { return i < n && s[i] == c; };
    while (pos < n) {
        if (at(pos, ' ') || at(pos, '\t') || at(pos, '\n') || at(pos, '\r')) {
            ++pos;
        } else if (at(pos, '/') && at(pos + 1, '/')) {
            pos += 2;
            while (pos < n && !at(pos, '\n') && !at(pos, '\r')) ++pos;
            if (at(pos, '\r') && at(pos + 1, '\n')) ++pos;
            if (pos < n) ++pos;
        } else if (at(pos, '/') && at(pos + 1, '*')) {
            uint64_t close = pos + 2;
            while (close < n && !(at(close, '*') && at(close + 1, '/'))) ++close;
            pos = close < n ? close + 2 : n;
        } else if (pos == 0 && s.starts_with("\xEF\xBB\xBF"sv)) {
            pos = 3;
        } else {
            break;
        }
    }
    return pos;
}

struct Case {
    const char* name;
    std::string_view input;
    uint64_t start;
    uint64_t expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SkipFiller : public testing::TestWithParam<Case> {};

TEST_P(SkipFiller, EndsAtExpectedByte) {
    const Case& c = GetParam();
    EXPECT_EQ(skip(c.input, c.start), c.expected);
    EXPECT_EQ(reference_skip(c.input, c.start), c.expected) << "the test's own reference";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SkipFiller,
    testing::Values(
        // Byte order mark: only at offset 0, only whole.
        Case{"bom_line_and_block_comment", "\xEF\xBB\xBF // c\r\n /* x */ 7", 0, 19},
        Case{"bom_after_space", " \xEF\xBB\xBF" "7", 0, 1},
        Case{"bom_then_token", "\xEF\xBB\xBF" "7", 0, 3},
        Case{"bom_only", "\xEF\xBB\xBF", 0, 3},
        Case{"bom_not_at_offset_zero", "x\xEF\xBB\xBF", 1, 1},
        Case{"bom_two_bytes", "\xEF\xBB", 0, 0},
        Case{"bom_one_byte", "\xEF", 0, 0},
        Case{"bom_wrong_last_byte", "\xEF\xBB\xBE", 0, 0},
        Case{"bom_twice", "\xEF\xBB\xBF\xEF\xBB\xBF", 0, 3},
        // Block comments.
        Case{"slash_star_slash_runs_to_end", "/*/", 0, 3},
        Case{"slash_star_slash_then_close", "/*/ */x", 0, 6},
        Case{"empty_block_comment", "/**/x", 0, 4},
        Case{"three_stars", "/***/x", 0, 5},
        Case{"unclosed_block_comment", "/* x", 0, 4},
        Case{"bare_slash_star", "/*", 0, 2},
        Case{"slash_star_star", "/**", 0, 3},
        Case{"star_at_end", "/* *", 0, 4},
        Case{"line_comment_inside_block", "/* // */x", 0, 8},
        // Line comments: LF, CR, or CR LF taken together.
        Case{"line_comment_cr", "// c\rx", 0, 5},
        Case{"line_comment_lf", "// c\nx", 0, 5},
        Case{"line_comment_crlf", "// c\r\nx", 0, 6},
        Case{"line_comment_cr_cr_lf", "// c\r\r\nx", 0, 7},
        Case{"line_comment_to_end", "// c", 0, 4},
        Case{"bare_line_comment", "//", 0, 2},
        Case{"line_comment_ends_on_cr_at_end", "// c\r", 0, 5},
        Case{"block_close_inside_line_comment", "// */\nx", 0, 6},
        Case{"mixed_to_end", "//\n/* */\t\r\n// end", 0, 17},
        // Not filler.
        Case{"slash_x", "/x", 0, 0},
        Case{"lone_slash", "/", 0, 0},
        Case{"space_then_lone_slash", " /", 0, 1},
        Case{"spaces_then_slash_x", "  /x", 0, 2},
        Case{"token", "x", 0, 0},
        Case{"space_then_token", " x", 0, 1},
        Case{"nul", "\0 "sv, 0, 0},
        Case{"vertical_tab", "\v x", 0, 0},
        Case{"form_feed", "\f", 0, 0},
        Case{"control_byte", "\x01", 0, 0},
        Case{"control_byte_then_token", "\x01x", 0, 0},
        Case{"nul_then_token", "\0x"sv, 0, 0},
        Case{"vertical_tab_then_token", "\vx", 0, 0},
        Case{"no_break_space", "\xC2\xA0x", 0, 0},
        // Where the skip starts.
        Case{"empty", "", 0, 0},
        Case{"at_end", "abc", 3, 3},
        Case{"at_end_after_filler", "x  ", 3, 3},
        Case{"middle_whitespace", "x  y", 1, 3},
        Case{"middle_comment", "x/**/y", 1, 5},
        Case{"middle_token", "ab", 1, 1},
        Case{"middle_of_comment_body", "/* a */", 2, 3}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

// Runs of 0..100 whitespace bytes put the first non-filler byte at every
// lane of the 32-byte vectors, at their edges and in the scalar tail.
TEST(SkipFillerRuns, WhitespaceThenStopByte) {
    const std::string_view patterns[] = {" ", "\t", "\n", "\r", " \t\r\n"};
    // Bytes just outside the whitespace set, and filler look-alikes.
    const std::string_view stops[] = {"",   "x",    "\0"sv, "\x08", "\x0B", "\x0C", "\x1F",
                                      "!",  "\x85", "\xA0", "\xEF", "/",    "/x",   "{"};
    for (const std::string_view pattern : patterns) {
        for (uint64_t n = 0; n <= 100; ++n) {
            std::string run;
            for (uint64_t i = 0; i < n; ++i) run += pattern[i % pattern.size()];
            for (const std::string_view stop : stops) {
                const std::string input = run + std::string(stop);
                for (uint64_t start : {uint64_t{0}, uint64_t{1}, n / 2, n}) {
                    if (start > n) continue;
                    EXPECT_EQ(skip(input, start), n)
                        << "run of " << n << " from " << start << ", stop byte "
                        << testing::PrintToString(std::string(stop));
                }
            }
        }
    }
}

TEST(SkipFillerRuns, WhitespaceCommentWhitespace) {
    const std::string_view comments[] = {"/* c */", "/**/", "/*/*/", "// c\n", "// c\r\n", "// c\r"};
    for (uint64_t before = 0; before <= 100; ++before) {
        for (uint64_t after : {0, 1, 31, 32, 33, 64}) {
            for (const std::string_view comment : comments) {
                const std::string input = std::string(before, ' ') + std::string(comment) +
                                          std::string(after, '\t') + "x";
                EXPECT_EQ(skip(input, 0), input.size() - 1)
                    << before << " spaces, " << testing::PrintToString(std::string(comment))
                    << ", " << after << " tabs";
            }
        }
    }
}

// Random strings over the bytes that matter, against the reference, from
// every start position. A quarter start with a byte order mark; half lean
// heavily on whitespace so the vector path sees long runs.
TEST(SkipFillerRandom, MatchesReference) {
    static constexpr std::string_view kAlphabet = " \t\n\r/*x\xEF\xBB\xBF";
    static constexpr std::string_view kWhitespace = " \t\n\r";
    std::mt19937_64 rng(0xF111'E55);
    for (int round = 0; round < 6000; ++round) {
        const bool whitespace_heavy = round % 2 == 0;
        std::string s = round % 4 < 2 ? "" : "\xEF\xBB\xBF";
        const size_t length = rng() % 81;
        while (s.size() < length) {
            const uint64_t r = rng();
            s += whitespace_heavy && r % 10 < 8 ? kWhitespace[(r >> 8) % kWhitespace.size()]
                                                : kAlphabet[(r >> 8) % kAlphabet.size()];
        }
        for (uint64_t start = 0; start <= s.size(); ++start)
            ASSERT_EQ(skip(s, start), reference_skip(s, start))
                << testing::PrintToString(s) << " from " << start;
    }
}

}  // namespace
}  // namespace vesk
