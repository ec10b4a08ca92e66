#include <gtest/gtest.h>

#include <string>

#include "parser/error.hpp"

namespace vesk {
namespace {

using Case = std::pair<ParseError, std::string>;  // error, its ValueError text

class ErrorText : public testing::TestWithParam<Case> {};

TEST_P(ErrorText, MessageAndPosition) { EXPECT_EQ(GetParam().first.text(), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorText,
    testing::Values(
        Case{invalid_char(5, 'x'),
             "Invalid character 'x' at position 5 (approximate position: \u00b132 bytes from 5)"},
        Case{invalid_char(0, 0xE9), "Invalid character '\u00e9' at position 0 (approximate "
                                    "position: \u00b132 bytes from 0)"},
        Case{expected_char(9, ':'),
             "Expected ':' at position 9 (approximate position: \u00b132 bytes from 9)"},
        Case{invalid_escape(3, 'q'), "Invalid escape sequence '\\q' at position 3 (approximate "
                                     "position: \u00b132 bytes from 3)"},
        Case{invalid_unicode(12), "Invalid Unicode escape at position 12 (approximate position: "
                                  "\u00b132 bytes from 12)"},
        Case{unexpected_eof(5'000'000'000ull),
             "Unexpected end of input (approximate position: \u00b132 bytes from 5000000000)"}));

}  // namespace
}  // namespace vesk
