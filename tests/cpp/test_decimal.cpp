// The decimal layer against fast_float and the standard library's from_chars
// as oracles: every short plain decimal and integer form up to a few digits,
// random longer ones, and the numbers whose rounding is hardest. Where a
// shortcut gives a result it must be the oracle's, bit for bit, and stop at
// the same byte. Also built for 32-bit x87 arithmetic (decimal_unit_tests_x87).

#include <doctest/doctest.h>
#include <fast_float/fast_float.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "pcd/decimal_parse.hpp"
#include "pcd/decimal_rounding.hpp"
#include "pcd/fast_float_shim.hpp"
#include "pcd/platform.hpp"

namespace {

using pcd::ShortDecimal;

// A token followed by a separator and zero bytes, as it lies in a TextWindow.
struct Text {
    explicit Text(const std::string& token) : bytes(token + " " + std::string(64, '\0')) {}
    const char* begin() const { return bytes.data(); }
    const char* end() const { return bytes.data() + bytes.size() - 64; }
    std::string bytes;
};

template <typename T>
std::uint64_t bits_of(T value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof value);
    return bits;
}

int failures = 0;

// Records a mismatch; stops recording after a few, so that a broken
// shortcut reports its first cases instead of a million lines.
void mismatch(const std::string& token, const char* what) {
    if (++failures <= 10) FAIL_CHECK(std::string(what) << " for \"" << token << "\"");
}

// The parts parse_scientific gives for what the short parsers leave, or
// with_exponent for the exponent after a short mantissa, and the rounding
// shortcuts for them.
void check_scaled(const pcd::ScaledDecimal& decimal, const char* next, const std::string& token,
                  const char* float_end, float float_value, double double_value) {
    if (next == nullptr) return;
    if (next != float_end) return mismatch(token, "the scaled decimal stops elsewhere");
    float as_float;
    if (pcd::scaled_decimal_to_float(decimal, as_float) &&
        bits_of(as_float) != bits_of(float_value))
        mismatch(token, "binary32 of the scaled decimal differs");
    double as_double;
    const bool converted = pcd::scaled_decimal_to_double(decimal, as_double);
    if (converted && bits_of(as_double) != bits_of(double_value))
        mismatch(token, "binary64 of the scaled decimal differs");
    const bool exact = decimal.mantissa <= (std::uint64_t{1} << 53) && decimal.exponent >= -22 &&
                       decimal.exponent <= 22;
    if (pcd::platform::plain_binary64 && exact && !converted)
        mismatch(token, "binary64 shortcut of the scaled decimal not taken");
}

// The decoder's path for a binary32 or binary64 field: the parts from
// parse_fixed_point (binary64 only) or parse_short_decimal, else from
// parse_scientific, then the rounding shortcut. Whatever they give must be
// fast_float's value and end.
void check_decimal(const std::string& token) {
    const Text text(token);
    float float_value;
    double double_value;
    const auto float_oracle = fast_float::from_chars(text.begin(), text.end(), float_value);
    fast_float::from_chars(text.begin(), text.end(), double_value);
    // Newer fast_float releases report overflow and underflow as out of range,
    // with the infinity or zero in the value, as the decoder takes them.
    const bool float_read =
        float_oracle.ec == std::errc() || float_oracle.ec == std::errc::result_out_of_range;
    const char* const float_end = float_read ? float_oracle.ptr : nullptr;
    ShortDecimal decimal;
    const char* const next = pcd::parse_short_decimal(text.begin(), decimal);
    pcd::ScaledDecimal scaled;
    if (next == nullptr) {
        const char* const scaled_next = pcd::parse_scientific(text.begin(), scaled);
        return check_scaled(scaled, scaled_next, token, float_end, float_value, double_value);
    }
    if (pcd::is_exponent_mark(*next)) {
        const char* const scaled_next = pcd::with_exponent(next, decimal, scaled);
        return check_scaled(scaled, scaled_next, token, float_end, float_value, double_value);
    }
    if (next != float_end) return mismatch(token, "parse_short_decimal stops elsewhere");
    float as_float;
    if (pcd::short_decimal_to_float(decimal, as_float) && bits_of(as_float) != bits_of(float_value))
        mismatch(token, "binary32 differs");
    double as_double;
    const bool converted = pcd::short_decimal_to_double(decimal, as_double);
    if (converted && bits_of(as_double) != bits_of(double_value))
        mismatch(token, "binary64 differs");
    // Where the arithmetic allows, plain decimals never need fast_float.
    if (pcd::platform::plain_binary64 && !converted) mismatch(token, "binary64 shortcut not taken");

    ShortDecimal fixed;
    const char* const fixed_next = pcd::parse_fixed_point(text.begin(), fixed);
    if (fixed_next != nullptr &&
        (fixed_next != next || fixed.mantissa != decimal.mantissa ||
         fixed.fraction_digits != decimal.fraction_digits || fixed.negative != decimal.negative))
        mismatch(token, "parse_fixed_point differs from parse_short_decimal");
}

template <typename T>
void check_integer(const std::string& token) {
    const Text text(token);
    T value = 0;
    const auto oracle = std::from_chars(text.begin(), text.end(), value);
    std::uint64_t bits;
    const char* const next = pcd::parse_short_integer<std::is_signed_v<T>>(text.begin(), bits);
    if (next == nullptr) return;
    if (oracle.ec != std::errc() || next != oracle.ptr || static_cast<T>(bits) != value)
        mismatch(token, "parse_short_integer differs from from_chars");
}

std::string digits(std::mt19937_64& random, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
}

// Every decimal of `digit_count` digits, with each split into integer and
// fraction digits and the point where one may stand.
template <typename Check>
void every_form(int digit_count, Check check) {
    std::uint64_t forms = 1;
    for (int i = 0; i < digit_count; ++i) forms *= 10;
    for (std::uint64_t n = 0; n < forms; ++n) {
        std::string all = digit_count == 0 ? "" : std::to_string(n);
        all.insert(0, static_cast<std::size_t>(digit_count) - all.size(), '0');
        for (int integer_digits = 0; integer_digits <= digit_count; ++integer_digits) {
            const std::string whole = all.substr(0, static_cast<std::size_t>(integer_digits));
            const std::string fraction = all.substr(static_cast<std::size_t>(integer_digits));
            for (const char* sign : {"", "-"}) {
                check(sign + whole + "." + fraction);
                if (fraction.empty()) check(sign + whole);
            }
        }
    }
}

}  // namespace

TEST_CASE("every plain decimal of up to five digits") {
    failures = 0;
    for (int count = 0; count <= 5; ++count) every_form(count, check_decimal);
}

TEST_CASE("random plain decimals of up to 24 digits, with what may follow them") {
    failures = 0;
    std::mt19937_64 random(20240601);
    const char* const followers[] = {"", "e5", "E-2", ".", "..5", "-1", "x", "\x7f", "e"};
    for (int i = 0; i < 400000; ++i) {
        const int integer_digits = static_cast<int>(random() % 21);
        const int fraction_digits = static_cast<int>(random() % 21);
        std::string token = (random() % 3 == 0 ? "-" : "") + digits(random, integer_digits);
        if (fraction_digits != 0 || random() % 4 == 0)
            token += "." + digits(random, fraction_digits);
        if (random() % 8 == 0)
            token.insert(token[0] == '-',
                         std::string(static_cast<std::size_t>(random() % 12), '0'));
        token += followers[random() % 4 == 0 ? random() % 9 : 0];
        check_decimal(token);
    }
}

// Timestamps and other numbers with eight or more integer digits, around the
// limits of parse_fixed_point's two-part valuation (16 digits, 7 fraction
// digits, 2^53), and those whose binary64 value x87 arithmetic rounds twice.
TEST_CASE("fixed-point binary64 numbers") {
    failures = 0;
    for (const char* token :
         {"12345678.1", "12345678.", "123456789.5", "1700000000.000385", "1700000000.0003851",
          "123456789012345.6", "1234567890123456.7", "12345678.12345678", "12345678.1234567",
          "90071992.54740992", "953636733.8455549", "99999999.9999999", "00000000.0000001",
          "9007199254740993.5", "1728920425.817644", "1705627119.505144", "1766952839.444224",
          "1703739839.493276"})
        check_decimal(token);
    std::mt19937_64 random(7);
    for (int i = 0; i < 300000; ++i) {
        const int integer_digits = 8 + static_cast<int>(random() % 10);
        check_decimal(digits(random, integer_digits) + "." +
                      digits(random, static_cast<int>(random() % 10)));
    }
}

// Decimals whose correctly rounded binary64 lies exactly halfway between two
// binary32 values: rounding to binary64 first and then to binary32 ends on
// the wrong side.
TEST_CASE("binary32 is rounded once") {
    failures = 0;
    for (const char* token :
         {"0.499778613448143", "0.51187863945961", "0.5128699839115143", "29.66032123565674",
          "71.35016250610352", "62.85831642150879", "-0.51187863945961", "-71.35016250610352",
          "16777217", "33554434", "0.061765905", "1.0000000596046448"})
        check_decimal(token);
}

// Numbers as printf's %e, %.Ne and %.Ng print binary32 values of every
// magnitude, from subnormal to the largest, and mantissas of up to 21 digits
// with exponents of every length fast_float reads.
TEST_CASE("decimals with exponents and long mantissas") {
    failures = 0;
    for (const char* token : {"1.1754942e-38",
                              "1.17549435e-38",
                              "1.1754944e-38",
                              "3.4028235e+38",
                              "3.40282357e+38",
                              "3.4028236e38",
                              "1e-45",
                              "7e-46",
                              "1.4e-45",
                              "0.000000000000000000e+00",
                              "-0e0",
                              "4.99778613448143e-1",
                              "-7.135016250610352e+01",
                              "1.0000000596046448e0",
                              "1e39",
                              "9.999999999999999999e-65",
                              "1.000000000000000000e+38",
                              "5e-324",
                              "1e",
                              "1e+",
                              "1.5e-",
                              "1e0001",
                              "1e-1000",
                              "12345678901234567890e-20",
                              "9999999999999999999e-19"})
        check_decimal(token);
    std::mt19937_64 random(23);
    char buffer[64];
    for (int i = 0; i < 300000; ++i) {
        std::uint32_t bits = static_cast<std::uint32_t>(random());
        if ((bits & 0x7F800000u) == 0x7F800000u) bits ^= 0x40000000u;  // no inf or nan
        float value;
        std::memcpy(&value, &bits, sizeof value);
        const char* const formats[] = {"%.8e", "%.18e", "%e", "%.9g", "%.8g", "%E", "%f"};
        std::snprintf(buffer, sizeof buffer, formats[random() % 7], static_cast<double>(value));
        check_decimal(buffer);
        const std::string mantissa = digits(random, 1 + static_cast<int>(random() % 21));
        const std::size_t point = static_cast<std::size_t>(random() % (mantissa.size() + 1));
        const char* const marks[] = {"e", "E", "e+", "e-", "E-"};
        check_decimal((random() % 2 == 0 ? "-" : "") + mantissa.substr(0, point) + "." +
                      mantissa.substr(point) + marks[random() % 5] +
                      std::to_string(random() % (random() % 4 == 0 ? 1000 : 50)));
    }
}

TEST_CASE("integers of up to four digits, and random ones of up to 24") {
    failures = 0;
    every_form(4, [](const std::string& token) {
        if (token.find('.') != std::string::npos) return;
        check_integer<std::int64_t>(token);
        check_integer<std::uint64_t>(token);
    });
    std::mt19937_64 random(11);
    for (int i = 0; i < 200000; ++i) {
        std::string token =
            std::string(static_cast<std::size_t>(random() % 4 == 0 ? random() % 6 : 0), '0') +
            digits(random, 1 + static_cast<int>(random() % 24));
        if (random() % 3 == 0) token.insert(0, "-");
        if (random() % 5 == 0) token += ".5";
        check_integer<std::int64_t>(token);
        check_integer<std::uint64_t>(token);
    }
}

// The general conversion of binary64 numbers with an exponent, against the C
// library's strtod: fast_float's product of a mantissa and 10^1 to 10^22 is
// rounded twice by x87 arithmetic ("5813693308871853e9"), which the shim mends.
TEST_CASE("binary64 numbers with exponents") {
    failures = 0;
    std::mt19937_64 random(17);
    std::vector<std::string> tokens = {"5813693308871853e9",
                                       "-5813693308871853e9",
                                       "1e22",
                                       "9007199254740992e22",
                                       "0e5",
                                       "-0.5e1",
                                       "1.5E+20"};
    for (int i = 0; i < 100000; ++i) {
        const std::string mantissa = std::to_string(random() % (std::uint64_t{1} << 53));
        const std::size_t point = static_cast<std::size_t>(random() % (mantissa.size() + 1));
        tokens.push_back(mantissa.substr(0, point) + "." + mantissa.substr(point) + "e" +
                         std::to_string(static_cast<int>(random() % 40) - 5));
    }
    for (const std::string& token : tokens) {
        const Text text(token);
        double value = 0;
        pcd::convert_float<double>(text.begin(), text.end(),
                                   reinterpret_cast<std::uint8_t*>(&value));
        if (bits_of(value) != bits_of(std::strtod(token.c_str(), nullptr)))
            mismatch(token, "binary64 differs from strtod");
    }
}

// The shortcuts rely on plain binary64 arithmetic. Where a quotient is
// rounded twice (x87), platform::plain_binary64 must say so.
TEST_CASE("the exactness condition matches the arithmetic") {
    volatile double mantissa = 1728920425817644.0;
    volatile double scale = 1e6;
    const double quotient = mantissa / scale;
    const bool rounded_once = bits_of(quotient) == bits_of(0x1.9c34eda745447p+30);
    if (!rounded_once) CHECK_FALSE(pcd::platform::plain_binary64);
}
