// The skim finds a table's closing bracket and counts rows as the row reader tokenizes them.
#include <gtest/gtest.h>

#include <string>

#include "parser/grid_skim.hpp"
#include "simd/scanner.hpp"

namespace vesk {
namespace {

// The tables start with "[:" or "[N:"; the skim starts after the marker.
GridSkim skim(const std::string& text, uint32_t depth_budget = 1024) {
    StructuralIndex index;
    index.reset(text.size());
    scan_scalar(text, index);
    return skim_grid(reinterpret_cast<const uint8_t*>(text.data()), text.size(), index,
                     text.find(':') + 1, depth_budget);
}

using Case = std::pair<std::string, uint64_t>;  // table, rows; its own `]` is the last one

class Counts : public testing::TestWithParam<Case> {};

TEST_P(Counts, RowsAndClosingBracket) {
    const auto& [text, rows] = GetParam();
    const GridSkim s = skim(text);
    ASSERT_EQ(s.status, GridSkim::Status::ok);
    EXPECT_EQ(s.rows, rows);
    EXPECT_EQ(s.close, text.rfind(']'));
}

INSTANTIATE_TEST_SUITE_P(Table, Counts, testing::ValuesIn(std::vector<Case>{
    {"[: a; 1; 2 ]", 2}, {"[: a; 1; 2; ]", 2}, {"[: a; ]", 0}, {"[: a; [1; 2]; 3 ]", 2},
    {"[: a; ; 1 ]", 2}, {"[12 : a; 1 ]", 1}, {"[: a; 1; /* c */ ]", 2},
    {"[: a; \"x]\"; \"y;[\" ]", 2}, {"[: a; \"x\\\"]\"; 2 ]", 2}, {"[: a; \"\\\\\"; \"]\" ]", 2},
    {"[: a; x\\]y\\;z; w ]", 2}, {"[: a; x\"y; \"z\" ]", 2}, {"[: \"a;]\", b; 1, 2 ]", 1},
    {"[: {a; 1 ]", 1}, {"[: a; 1; /* ; ] */ 2 ]", 2}, {"[: a; 1; // ] ;\n 2 ]", 2},
    {"[: a; 1;\t\n\r\f ]", 1}, {"[: a; {\"k\": \"]\", \"m\": [1; 2]}; 2 ]", 2},
    {"[: a; [: k; v; \"]\" ]; 2 ]", 2}, {"[: a; [: k; x\"; y ]; 2 ]", 2}}));

// A header that ends at a line break puts the rows on lines of their own:
// bare cells end at the line break and at `}`, comments are cell text, and
// `;` separates nothing. `close` is the table's own `]`.
TEST(GridSkim, RowsOnLinesOfTheirOwn) {
    for (const auto& [text, close] : std::vector<Case>{
             {"[:\n a\n [1, 2]\n x\\]\n]", 19}, {"[2:\n a, b\n x, [: c; 1 ]\n \"]\"\n] ]", 29},
             {"[:\n a\n /* ] */\n]", 10}, {"[:\n a\n x}y, {\"k\": \"]\"}\n]", 23},
             {"[: \"a\"\r\n x\n]", 11}, {"[: a\n ; [1]; x ]", 15}, {"[:\n a\n x\n [1, 2]\n]", 17}}) {
        const GridSkim s = skim(text);
        ASSERT_EQ(s.status, GridSkim::Status::ok) << text;
        EXPECT_EQ(s.close, close) << text;
    }
    EXPECT_EQ(skim("[: a\n ; 1; 2 ]").rows, 2u) << "a `;` on a later line ends an inline header";
}

TEST(GridSkim, UnterminatedTables) {
    for (const char* text :
         {"[: a; 1", "[: a; \"]", "[: a; x\\", "[: a; [1, 2; 3 ]", "[: a; /* ] */"})
        EXPECT_EQ(skim(text).status, GridSkim::Status::unterminated) << text;
}

TEST(GridSkim, NestingBudget) {
    const std::string deep = "[: a; " + std::string(40, '[') + std::string(40, ']') + " ]";
    EXPECT_EQ(skim(deep, 64).status, GridSkim::Status::ok);
    const GridSkim s = skim(deep, 10);
    ASSERT_EQ(s.status, GridSkim::Status::too_deep);
    EXPECT_EQ(s.too_deep_at, 6u + 10u) << "the first bracket past the budget";
}

TEST(GridSkim, Marker) {
    for (const auto& [text, at] : std::vector<Case>{
             {": a", 0}, {"12  : a", 4}, {"12\t: a", 6}, {"12", 2}, {"x:", 2}})
        EXPECT_EQ(grid_marker_at(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0), at)
            << text << " (only spaces may follow the digits)";
    for (const auto& [text, at] : std::vector<Case>{
             {"2]{a}:", 2}, {"12]{", 3}, {"]{", 2}, {"2] {", 4}, {"2 ]{", 4}, {"2]", 2}, {"x]{", 3}})
        EXPECT_EQ(counted_marker_at(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0), at)
            << text << " (digits, then `]{` at once)";
    for (const auto& [text, may] : std::vector<std::pair<std::string, bool>>{
             {"2]", true}, {"12]", true}, {"2", false}, {"]", false}, {"2] ", false}, {"2]{", false}})
        EXPECT_EQ(counted_marker_may_follow(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0), may)
            << text;
}

TEST(GridSkim, HeaderEnd) {
    for (const auto& [text, end] : std::vector<std::pair<std::string, HeaderEnd>>{
             {"\n x", HeaderEnd::line}, {" \r\n x", HeaderEnd::line}, {"\n // c\n x", HeaderEnd::line},
             {"\n ;", HeaderEnd::no}, {"\n /* c */ ;", HeaderEnd::no}, {", x", HeaderEnd::no},
             {";", HeaderEnd::no}, {"\n ", HeaderEnd::unknown}, {" ", HeaderEnd::unknown}}) {
        uint64_t line = 0;
        EXPECT_EQ(header_end_at(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0, line), end)
            << text;
        if (end == HeaderEnd::line) {
            EXPECT_EQ(line, text.find('\n')) << text;
        }
    }
}

TEST(GridSkim, BareTextStops) {
    const std::string text = "a b}c\\,d\ne,f";
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(scan_bare_text(p, text.size(), 0, BareStops::name).end, 6u) << "no escape in a name";
    EXPECT_EQ(scan_bare_text(p, text.size(), 0, BareStops::cell).end, 10u) << "a cell spans the line break";
    EXPECT_EQ(scan_bare_text(p, text.size(), 0, BareStops::line_cell).end, 3u);
    EXPECT_EQ(scan_bare_text(p, text.size(), 0, BareStops::braced_name).end, 3u);
    EXPECT_EQ(scan_bare_text(p, text.size(), 4, BareStops::line_cell).end, 8u);
    EXPECT_TRUE(scan_bare_text(p, text.size(), 4, BareStops::line_cell).escaped);
}

}  // namespace
}  // namespace vesk
