// The UTF-8 check behind printable error messages: which byte sequences are
// well-formed UTF-8, and how the rest is shown.

#include <doctest/doctest.h>

#include <string>

#include "pcd/printable.hpp"

namespace {

struct Sequence {
    const char* bytes;
    std::size_t length;  // of the well-formed sequence at the start, or 0
};

}  // namespace

TEST_CASE("utf8_sequence_length") {
    const Sequence cases[] = {
        {"A", 1},
        {"\x7f", 1},
        // two bytes: C2..DF, then a continuation
        {"\xc2\x80", 2},
        {"\xdf\xbf", 2},
        {"\xc0\x80", 0},  // overlong forms of U+0000 and U+007F
        {"\xc1\xbf", 0},
        {"\xc3\x28", 0},  // no continuation
        // three bytes, without overlong forms and surrogates
        {"\xe0\xa0\x80", 3},
        {"\xe0\x9f\xbf", 0},  // overlong U+07FF
        {"\xe0\x80\x80", 0},
        {"\xed\x9f\xbf", 3},  // U+D7FF
        {"\xed\xa0\x80", 0},  // U+D800, a surrogate
        {"\xed\xbf\xbf", 0},  // U+DFFF
        {"\xee\x80\x80", 3},  // U+E000
        {"\xef\xbf\xbf", 3},
        {"\xe2\x82\x28", 0},  // third byte no continuation
        // four bytes, up to U+10FFFF
        {"\xf0\x90\x80\x80", 4},
        {"\xf0\x8f\xbf\xbf", 0},  // overlong U+FFFF
        {"\xf4\x8f\xbf\xbf", 4},  // U+10FFFF
        {"\xf4\x90\x80\x80", 0},  // U+110000
        {"\xf5\x80\x80\x80", 0},
        {"\xff", 0},
        {"\xf0\x9f\x98\x28", 0},  // fourth byte no continuation
        // a continuation byte cannot lead
        {"\x80", 0},
        {"\xbf\x80", 0},
        // cut off by the end of the text
        {"\xc3", 0},
        {"\xe2\x82", 0},
        {"\xf0\x9f\x98", 0},
    };
    for (const Sequence& sequence : cases) {
        const std::string text(sequence.bytes);
        CAPTURE(text);
        CHECK(pcd::utf8_sequence_length(text, 0) == sequence.length);
        // After other text the same, and cut off where the string ends.
        CHECK(pcd::utf8_sequence_length("ab" + text, 2) == sequence.length);
    }
}

TEST_CASE("printable escapes NUL and every byte of an ill-formed sequence") {
    CHECK(pcd::printable("bin\xc3\xa4ry") == "bin\xc3\xa4ry");
    CHECK(pcd::printable(std::string("a\0b", 3)) == "a\\x00b");
    CHECK(pcd::printable("\xed\xa0\x80z") == "\\xed\\xa0\\x80z");
    CHECK(pcd::printable("\xf0\x9f\x98") == "\\xf0\\x9f\\x98");
    CHECK(pcd::printable("\xf0\x9f\x98\x80\xff") == "\xf0\x9f\x98\x80\\xff");
}
