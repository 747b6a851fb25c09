// TextWindow with chunks of a few bytes, so that it slides at every number
// and grows for every number longer than a chunk: the numbers it shows, read
// window by window as the decoder reads them, are the text's, each whole.

#include <doctest/doctest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pcd/text_window.hpp"

namespace {

struct Token {
    std::string text;
    std::uint64_t position;
};

// The tokens of the first `available` bytes of `text`, read through a window
// of `chunk`-byte reads as decode_ascii_data walks it; checks the window's
// invariants on the way.
std::vector<Token> read_tokens(const std::string& text, std::uint64_t available,
                               std::size_t chunk) {
    std::istringstream stream(text);
    pcd::TextWindow window(stream, available, chunk);
    std::vector<Token> tokens;
    const char* p = window.begin();
    for (;;) {
        const char* end = window.end();
        // A separator (or the end of the text) just before end().
        if (end != window.begin() && !window.exhausted()) REQUIRE(pcd::is_separator(end[-1]));
        while (p != end) {
            if (pcd::is_separator(*p)) {
                ++p;
                continue;
            }
            const char* stop = p;
            while (!pcd::is_separator(*stop)) ++stop;  // the padding stops it
            REQUIRE(stop <= end);
            tokens.push_back({std::string(p, stop), window.position(p)});
            p = stop;
        }
        if (window.exhausted()) return tokens;
        p = window.advance(p);
    }
}

std::vector<Token> expected_tokens(const std::string& text) {
    std::vector<Token> tokens;
    for (std::size_t i = 0; i < text.size();) {
        if (pcd::is_separator(text[i])) {
            ++i;
            continue;
        }
        std::size_t stop = i;
        while (stop < text.size() && !pcd::is_separator(text[stop])) ++stop;
        tokens.push_back({text.substr(i, stop - i), i});
        i = stop;
    }
    return tokens;
}

void check_same(const std::vector<Token>& got, const std::vector<Token>& want) {
    REQUIRE(got.size() == want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        CHECK(got[i].text == want[i].text);
        CHECK(got[i].position == want[i].position);
    }
}

// Numbers of 1 to 40 bytes between runs of 1 to 3 separators of every kind.
std::string random_text(std::mt19937_64& random, std::size_t tokens) {
    const char separators[] = {' ', '\n', '\t', '\r', '\0', '\x80', '\xff'};
    std::string text;
    for (std::size_t i = 0; i < tokens; ++i) {
        const auto separator_count =
            static_cast<std::size_t>(random() % 4 == 0 ? 1 + random() % 3 : 1);
        for (std::size_t k = 0; k < separator_count; ++k) text += separators[random() % 7];
        const std::size_t length = random() % 8 == 0 ? 9 + random() % 32 : 1 + random() % 8;
        for (std::size_t k = 0; k < length; ++k) text += "0123456789.-e"[random() % 13];
    }
    return text;
}

}  // namespace

// A chunk of 0 bytes reads as one of 1: the window still advances.
TEST_CASE("every chunk size from 0 to 24 bytes shows every number whole") {
    std::mt19937_64 random(5);
    const std::string text = random_text(random, 400);
    const std::vector<Token> want = expected_tokens(text);
    for (std::size_t chunk = 0; chunk <= 24; ++chunk) {
        CAPTURE(chunk);
        check_same(read_tokens(text, text.size(), chunk), want);
    }
}

TEST_CASE("a number many chunks long makes the window grow, and it slides on after") {
    const std::string text = "1 " + std::string(1000, '7') + " 2 3" + std::string(5000, '8') + " 4";
    for (std::size_t chunk : {1, 3, 64, 999, 1000, 1001, 4096}) {
        CAPTURE(chunk);
        check_same(read_tokens(text, text.size(), chunk), expected_tokens(text));
    }
}

TEST_CASE("the text ends where the section does, or where the stream does") {
    const std::string text = "12 345 6789 0";
    SUBCASE("fewer bytes available than the stream holds") {
        check_same(read_tokens(text, 8, 3), expected_tokens(text.substr(0, 8)));
    }
    SUBCASE("a stream that ends before the bytes it was said to hold") {
        check_same(read_tokens(text, 1000, 4), expected_tokens(text));
    }
    SUBCASE("no text at all") { CHECK(read_tokens("", 0, 4).empty()); }
}
