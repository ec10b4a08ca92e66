#include "native_test.hpp"
#include "parser/error.hpp"

namespace vesk {
namespace {

TEST(ErrorText, MessageAndPosition) {
    for (const auto& [error, message] : std::vector<std::pair<ParseError, std::string>>{
             {invalid_char(5, 'x'), "Invalid character 'x' at position 5"},
             {invalid_char(0, 0xE9), "Invalid character '\u00e9' at position 0"},
             {expected_char(9, ':'), "Expected ':' at position 9"},
             {invalid_escape(3, 'q'), "Invalid escape sequence '\\q' at position 3"},
             {invalid_unicode(12), "Invalid Unicode escape at position 12"},
             {unexpected_eof(5'000'000'000ull), "Unexpected end of input"}})
        EXPECT_EQ(std::pair(error.message, error.stated), std::pair(message, true));
    EXPECT_EQ(unexpected_eof(5'000'000'000ull).position, 5'000'000'000ull);
}

}  // namespace
}  // namespace vesk
