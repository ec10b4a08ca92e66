#include <gtest/gtest.h>

#include <string>

#include "parser/error.hpp"

namespace vesk {
namespace {

using Case = std::pair<ParseError, std::string>;  // error, its message

class ErrorText : public testing::TestWithParam<Case> {};

TEST_P(ErrorText, MessageAndPosition) {
    EXPECT_EQ(GetParam().first.message, GetParam().second);
    EXPECT_TRUE(GetParam().first.stated);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorText,
    testing::Values(Case{invalid_char(5, 'x'), "Invalid character 'x' at position 5"},
                    Case{invalid_char(0, 0xE9), "Invalid character '\u00e9' at position 0"},
                    Case{expected_char(9, ':'), "Expected ':' at position 9"},
                    Case{invalid_escape(3, 'q'), "Invalid escape sequence '\\q' at position 3"},
                    Case{invalid_unicode(12), "Invalid Unicode escape at position 12"},
                    Case{unexpected_eof(5'000'000'000ull), "Unexpected end of input"}));

TEST(ErrorText, PositionIsKept) { EXPECT_EQ(unexpected_eof(5'000'000'000ull).position, 5'000'000'000ull); }

}  // namespace
}  // namespace vesk
