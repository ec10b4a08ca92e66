// The scans of a reply read as it arrives: however the text is cut, they
// end up where one reading of the whole text does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser/stream_text.hpp"

namespace vesk {
namespace {

const uint8_t* bytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

constexpr uint64_t kNever = UINT64_MAX;

struct EndCase {
    EndScan::Unit unit;
    std::string text;
    uint64_t end;  // where the scan finds the unit may end, or kNever
    uint32_t depth_budget = 1024;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.text; }

// Where a scan reports, fed the text whole, cut in two at `cut`, or a byte
// at a time (cut == 0).
uint64_t scan_end(const EndCase& c, uint64_t cut) {
    EndScan scan;
    scan.start(c.unit, 0, c.depth_budget);
    const uint64_t step = cut == 0 ? 1 : cut;
    for (uint64_t length = std::min<uint64_t>(step, c.text.size());; length = std::min<uint64_t>(length + step, c.text.size())) {
        if (scan.scan(bytes(c.text), length)) return scan.pos;
        if (length == c.text.size()) return kNever;
    }
}

class Ends : public testing::TestWithParam<EndCase> {};

TEST_P(Ends, WhereverTheTextIsCut) {
    const EndCase& c = GetParam();
    EXPECT_EQ(scan_end(c, c.text.size()), c.end) << "whole";
    EXPECT_EQ(scan_end(c, 0), c.end) << "a byte at a time";
    for (uint64_t cut = 1; cut < c.text.size(); ++cut) {
        EndScan scan;
        scan.start(c.unit, 0, c.depth_budget);
        const bool early = scan.scan(bytes(c.text), cut);
        const uint64_t end = early || scan.scan(bytes(c.text), c.text.size()) ? scan.pos : kNever;
        EXPECT_EQ(end, c.end) << "cut at " << cut;
    }
}

constexpr EndScan::Unit V = EndScan::Unit::value;
constexpr EndScan::Unit H = EndScan::Unit::header;
constexpr EndScan::Unit R = EndScan::Unit::row;

INSTANTIATE_TEST_SUITE_P(Values, Ends, testing::ValuesIn(std::vector<EndCase>{
    {V, R"("abc", 1)", 5}, {V, R"("a\"b]" ,)", 7}, {V, R"("a\\" x)", 5}, {V, "\"\xc3\xa9\\u00e9\"]", 10},
    {V, "123,", 3}, {V, "-1.5e+3]", 7}, {V, "true ", 4}, {V, "nul", kNever}, {V, "12", kNever},
    {V, "key: 1", 3}, {V, "a.b/c: 1", 3}, {V, ",", 0}, {V, R"("abc)", kNever},
    {V, R"([1, [2, "]"], {"a": "}"}] x)", 25}, {V, R"({"k": [: a; x"y; "z]" ], "m": 1} ,)", 32},
    {V, "[12 : a; 1 ]]", 12}, {V, "[12 ]]", 5}, {V, "[ /* : */ 1]", 12}, {V, "[/*x*/: a; 1 ]", 14},
    {V, "[1 // ]\n ]", 10}, {V, "[1 /* ] */ /", kNever}, {V, "[1 /* ] **/]", 12},
    {V, "[: {a, [b; 1, 2 ]", 17}, {V, R"([: a; x\]y\;z ])", 15}, {V, R"([: a; x"y; "z" ])", 16},
    {V, "[: a; /* ] */ 1 ]", 17}, {V, "[: a; [: b; 1; 2 ]; 3 ]", 23}, {V, "[: a; [x ] ]", 12},
    {V, "[:]", 3}, {V, "[: a; 1", kNever}, {V, "[2", kNever}, {V, "[2 ", kNever}, {V, "[2 :", kNever},
    {V, "[[[1]]]", 4, 2}, {V, "{{{", 2, 2},  // past the depth budget: the reader reports it
}));

INSTANTIATE_TEST_SUITE_P(Headers, Ends, testing::ValuesIn(std::vector<EndCase>{
    {H, "a, b; 1", 4}, {H, R"("x;", [y; 1)", 8}, {H, "a]", 1}, {H, "/* ; */ a;", 9}, {H, "a /* ; */;", 5},
    {H, R"(a\, b;)", 5}, {H, "{a | \"b\";", 8}, {H, "a, \"b", kNever},  // a header takes no escapes
}));

INSTANTIATE_TEST_SUITE_P(Rows, Ends, testing::ValuesIn(std::vector<EndCase>{
    {R, "1, Alice; 2", 8}, {R, "1, Alice ]", 9}, {R, R"("a;b", [1; 2]; x)", 13}, {R, R"(x\;y; z)", 4},
    {R, R"({"a": ";"} ])", 11}, {R, "[: b; 1; 2 ]; 3", 12}, {R, "/* ; */ 1 ;", 10}, {R, "a /* ; */ b;", 5},
    {R, "// ;\n 1 ]", 8}, {R, "x\\", kNever}, {R, "1, x\\;", kNever}, {R, "\"a\";", 3}, {R, "{a: 1}; 2", 6},
}));

struct FenceCase {
    bool fenced;
    std::string text;
    bool shows;      // what update returns for the whole text
    uint64_t begin;  // the document's span, when it shows
    uint64_t end;
    uint64_t final_end;
};

void PrintTo(const FenceCase& c, std::ostream* os) { *os << c.text; }

class Fences : public testing::TestWithParam<FenceCase> {};

// Read a byte at a time, the scan agrees at every length with a scan that
// reads that much text at once, and ends as the case says.
TEST_P(Fences, GrowingTextReadsAsAtOnce) {
    const FenceCase& c = GetParam();
    FenceScan growing(c.fenced);
    for (uint64_t length = 0; length <= c.text.size(); ++length) {
        FenceScan once(c.fenced);
        const bool shows = once.update(bytes(c.text), length);
        ASSERT_EQ(growing.update(bytes(c.text), length), shows) << length;
        if (shows) {
            EXPECT_EQ(growing.begin, once.begin) << length;
            EXPECT_EQ(growing.end, once.end) << length;
        }
    }
    ASSERT_EQ(growing.update(bytes(c.text), c.text.size()), c.shows);
    if (!c.shows) return;
    EXPECT_EQ(growing.begin, c.begin);
    EXPECT_EQ(growing.end, c.end);
    EXPECT_EQ(growing.final_end(c.text.size()), c.final_end);
}

INSTANTIATE_TEST_SUITE_P(Replies, Fences, testing::ValuesIn(std::vector<FenceCase>{
    {false, "```json\n[1]\n```", true, 0, 15, 15}, {true, "[1]\n```", true, 0, 7, 7},
    {true, "```json\n[1]\n```\nafter", true, 8, 12, 12}, {true, " \n```vesk\r\n[1]\r\n  ```", true, 11, 16, 16},
    {true, "```json\n[1]\n``", true, 8, 12, 14}, {true, "```json\n[1]\n `x", true, 8, 15, 15},
    {true, "```json\n[1]\n\t", true, 8, 13, 13}, {true, "```\n```", true, 4, 4, 4},
    {true, "``", false, 0, 0, 0}, {true, "```json", false, 0, 0, 0}, {true, " \n\t", false, 0, 0, 0},
}));

}  // namespace
}  // namespace vesk
