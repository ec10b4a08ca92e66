// The skim finds a table's closing bracket and counts its rows the way the
// row reader tokenizes the text.
#include <gtest/gtest.h>

#include <string>

#include "parser/grid_skim.hpp"
#include "simd/scanner.hpp"

namespace vesk {
namespace {

GridSkim skim(const std::string& text, uint32_t depth_budget = 1024) {
    const StructuralIndex index = scan_scalar(text);
    // Tables in these cases start with "[:" or "[N:"; skim from after the marker.
    const uint64_t start = text.find(':') + 1;
    return skim_grid(reinterpret_cast<const uint8_t*>(text.data()), text.size(), index, start,
                     depth_budget);
}

struct Case {
    const char* name;
    std::string text;
    uint64_t rows;
};

class Counts : public testing::TestWithParam<Case> {};

TEST_P(Counts, RowsAndClosingBracket) {
    const Case& c = GetParam();
    const GridSkim s = skim(c.text);
    ASSERT_EQ(s.status, GridSkim::Status::ok);
    EXPECT_EQ(s.rows, c.rows);
    EXPECT_EQ(s.close, c.text.rfind(']')) << "the table's own bracket is the last one";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Counts,
    testing::Values(
        Case{"two_rows", "[: a; 1; 2 ]", 2}, Case{"trailing_separator", "[: a; 1; 2; ]", 2},
        Case{"header_only", "[: a; ]", 0}, Case{"nested_list", "[: a; [1; 2]; 3 ]", 2},
        Case{"empty_segment", "[: a; ; 1 ]", 2}, Case{"row_count_prefix", "[12 : a; 1 ]", 1},
        Case{"comment_tail_counts", "[: a; 1; /* c */ ]", 2},
        Case{"quoted_cell_brackets", "[: a; \"x]\"; \"y;[\" ]", 2},
        Case{"escaped_quote_in_cell", "[: a; \"x\\\"]\"; 2 ]", 2},
        Case{"escaped_bytes_in_bare_cell", "[: a; x\\]y\\;z; w ]", 2},
        Case{"quote_inside_bare_cell", "[: a; x\"y; \"z\" ]", 2},
        Case{"quoted_header_name", "[: \"a;]\", b; 1, 2 ]", 1},
        Case{"bare_header_with_brace", "[: {a; 1 ]", 1},
        Case{"comment_between_rows", "[: a; 1; /* ; ] */ 2 ]", 2},
        Case{"line_comment", "[: a; 1; // ] ;\n 2 ]", 2},
        Case{"object_cell", "[: a; {\"k\": \"]\", \"m\": [1; 2]}; 2 ]", 2},
        Case{"nested_table", "[: a; [: k; v; \"]\" ]; 2 ]", 2},
        Case{"nested_table_bare_quote", "[: a; [: k; x\"; y ]; 2 ]", 2},
        Case{"blank_tail", "[: a; 1;\t\n\r\f ]", 1}),
    [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

TEST(GridSkim, UnterminatedTables) {
    for (const char* text : {"[: a; 1", "[: a; \"]", "[: a; x\\", "[: a; [1, 2; 3 ]", "[: a; /* ] */"})
        EXPECT_EQ(skim(text).status, GridSkim::Status::unterminated) << text;
}

TEST(GridSkim, NestingBudget) {
    const std::string deep = "[: a; " + std::string(40, '[') + std::string(40, ']') + " ]";
    EXPECT_EQ(skim(deep, 64).status, GridSkim::Status::ok);
    const GridSkim s = skim(deep, 10);
    ASSERT_EQ(s.status, GridSkim::Status::too_deep);
    EXPECT_EQ(s.too_deep_at, 6u + 10u) << "the first bracket past the budget";
}

TEST(GridSkim, GridMarker) {
    const auto marker = [](const std::string& text) {
        return grid_marker_at(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0);
    };
    EXPECT_EQ(marker(": a"), 0u);
    EXPECT_EQ(marker("12  : a"), 4u);
    EXPECT_EQ(marker("12\t: a"), 6u) << "only spaces may follow the digits";
    EXPECT_EQ(marker("12"), 2u);
    EXPECT_EQ(marker("x:"), 2u);
}

}  // namespace
}  // namespace vesk
