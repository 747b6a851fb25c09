// Every kernel of the build that the processor runs, decoding whole "ascii"
// sections through windows of 1 byte to the usual 256 KiB: each record must
// hold what fast_float and from_chars make of its numbers, whatever the
// kernel, wherever the window's ends cut the text and however often a kernel
// gives its runs up.

#include <doctest/doctest.h>
#include <fast_float/fast_float.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "packed_header.hpp"
#include "pcd/ascii_data.hpp"
#include "pcd/kernels/registry.hpp"

namespace {

using FieldLayout = TestField;

template <typename T>
void store(std::uint8_t* element, T value, int size) {
    std::memcpy(element, &value, static_cast<std::size_t>(size));  // the low bytes
}

// What a field's element holds for a number that it reads whole.
void expected_element(const FieldLayout& field, const std::string& token, std::uint8_t* element) {
    const char* const begin = token.data();
    const char* const end = begin + token.size();
    if (field.type == 'F' && field.size == 4) {
        float value = 0;
        fast_float::from_chars(begin, end, value);
        store(element, value, 4);
    } else if (field.type == 'F') {
        double value = 0;
        fast_float::from_chars(begin, end, value);
        store(element, value, 8);
    } else if (field.type == 'I') {
        std::int64_t value = 0;
        if (std::from_chars(begin, end, value).ec == std::errc()) store(element, value, field.size);
    } else {
        std::uint64_t value = 0;
        if (std::from_chars(begin, end, value).ec == std::errc()) store(element, value, field.size);
    }
}

std::string digits(std::mt19937_64& random, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
}

// A number every field of the type reads whole: mostly what writers print
// ("%.3f", "%.8g", "%.8e", "%.18e", "%.9g", integers), now and then forms the
// kernels refuse.
std::string number_for(const FieldLayout& field, std::mt19937_64& random, bool short_numbers) {
    const bool odd = random() % (short_numbers ? 64 : 16) == 0;
    const std::string sign = random() % 3 == 0 ? "-" : "";
    if (short_numbers && !odd) {
        if (field.type == 'U') return digits(random, 1 + random() % 3);
        return sign + digits(random, 1 + random() % 2) +
               (field.type == 'I' ? "" : "." + digits(random, 2));
    }
    if (field.type == 'U' || field.type == 'I') {
        const auto length = static_cast<std::size_t>(odd ? 9 + random() % 12 : 1 + random() % 8);
        return (field.type == 'I' ? sign : "") + digits(random, length);
    }
    if (odd) {
        const char* const forms[] = {"1e5",      "-1.5E-3", "inf", "-nan", "0.499778613448143",
                                     "16777217", "-0",      "5.",  ".5",   "1700000000.000385"};
        if (random() % 20 == 0) return "0." + std::string(300, '0') + "7";  // longer than a window
        return forms[random() % 10];
    }
    const auto style = random() % 8;
    if (style == 0) {
        const char* const marks[] = {"e+", "e-", "E-"};
        return sign + digits(random, 1) + "." + digits(random, random() % 2 == 0 ? 8 : 18) +
               marks[random() % 3] + digits(random, 2 + random() % 4 / 3);
    }
    if (style == 1) return sign + digits(random, 1 + random() % 3) + "." + digits(random, 8);
    const std::size_t integer_digits = random() % 4;
    const std::size_t fraction_digits = random() % 2 == 0 ? 3 : 8 - integer_digits;
    return sign + digits(random, integer_digits) + "." + digits(random, fraction_digits);
}

struct Cloud {
    pcd::PcdHeader header;
    std::string text;
    std::vector<std::uint8_t> records;  // what the text decodes to
};

Cloud make_cloud(const std::vector<FieldLayout>& fields, int points, unsigned seed,
                 bool short_numbers = false) {
    std::mt19937_64 random(seed);
    Cloud cloud{packed_header(fields, points, "ascii"), {}, {}};
    cloud.records.resize(static_cast<std::size_t>(points * cloud.header.point_step));
    const char* const separators[] = {" ", " ", " ", "\t", "  ", "\n", "\r\n"};
    std::uint8_t* element = cloud.records.data();
    for (int i = 0; i < points; ++i) {
        for (const FieldLayout& field : fields) {
            for (int k = 0; k < field.count; ++k, element += field.size) {
                const std::string token = number_for(field, random, short_numbers);
                expected_element(field, token, element);
                cloud.text += token;
                const std::size_t separator = random() % 8;
                cloud.text += separator == 7 ? std::string(1, '\0') : separators[separator];
            }
        }
        cloud.text += '\n';
    }
    return cloud;
}

std::vector<std::uint8_t> decode(const Cloud& cloud, const pcd::AsciiDecoding& decoding) {
    std::istringstream stream(cloud.text);
    auto buffer = pcd::make_point_buffer(cloud.records.size(), pcd::Filling::bulk);
    pcd::decode_ascii_data(stream, cloud.text.size(), cloud.header, *buffer, decoding);
    return std::vector<std::uint8_t>(buffer->data.get(), buffer->data.get() + buffer->size);
}

}  // namespace

TEST_CASE("every runnable kernel, every window size, every layout: the oracle's records") {
    const std::vector<std::vector<FieldLayout>> layouts = {
        {{'F', 4, 1}, {'F', 4, 1}, {'F', 4, 1}, {'F', 4, 1}},
        {{'F', 4, 3}, {'F', 4, 1}, {'U', 2, 1}, {'F', 8, 1}, {'U', 4, 1}, {'F', 4, 3}},
        {{'F', 4, 3}, {'I', 4, 1}, {'F', 4, 4}},
        {{'U', 1, 1}, {'F', 4, 3}, {'I', 2, 1}, {'I', 1, 1}, {'U', 1, 2}, {'F', 4, 2}},
        {{'F', 4, 6}, {'U', 4, 2}, {'I', 8, 1}},
    };
    const std::size_t chunks[] = {1, 7, 64, 100, std::size_t{1} << 18};
    unsigned seed = 1;
    for (const auto& layout : layouts) {
        const Cloud cloud = make_cloud(layout, 1500, seed++);
        for (const pcd::Kernel kernel : pcd::runnable_kernels()) {
            for (const std::size_t chunk : chunks) {
                CAPTURE(seed);
                CAPTURE(pcd::kernel_name(kernel));
                CAPTURE(chunk);
                CHECK(decode(cloud, {kernel, chunk}) == cloud.records);
            }
        }
    }
}

// Text the run decoders never take (an exponent in every record) makes a
// kernel give its runs up part of the way through; the records after that
// point must follow on.
TEST_CASE("runs given up part of the way through a section: every record in its place") {
    constexpr int points = 200000;
    std::string text;
    for (int i = 0; i < points; ++i) text += "1e1 -2.5 " + std::to_string(i % 1000) + "\n";
    const pcd::PcdHeader header =
        packed_header({{'F', 4, 1}, {'F', 4, 1}, {'F', 4, 1}}, points, "ascii");
    for (const pcd::Kernel kernel : pcd::runnable_kernels()) {
        CAPTURE(pcd::kernel_name(kernel));
        std::istringstream stream(text);
        auto buffer = pcd::make_point_buffer(12 * points, pcd::Filling::bulk);
        pcd::decode_ascii_data(stream, text.size(), header, *buffer,
                               {kernel, std::size_t{1} << 18});
        float record[3];
        int wrong = 0;
        for (int i = 0; i < points; ++i) {
            std::memcpy(record, buffer->data.get() + 12 * i, sizeof record);
            wrong += record[0] != 10.0f || record[1] != -2.5f ||
                     record[2] != static_cast<float>(i % 1000);
        }
        CHECK(wrong == 0);
    }
}

// Records of a few short numbers fit the run decoders two at a time.
TEST_CASE("short records, decoded two at a time: the oracle's records") {
    const std::vector<std::vector<FieldLayout>> layouts = {
        {{'F', 4, 3}},
        {{'F', 4, 3}, {'U', 4, 1}},
        {{'F', 4, 3}, {'I', 2, 1}},
        {{'F', 4, 2}, {'I', 1, 1}, {'F', 4, 1}},
    };
    unsigned seed = 50;
    for (const auto& layout : layouts) {
        const Cloud cloud = make_cloud(layout, 1500, seed++, true);
        for (const pcd::Kernel kernel : pcd::runnable_kernels()) {
            for (const std::size_t chunk : {std::size_t{64}, std::size_t{1} << 18}) {
                CAPTURE(seed);
                CAPTURE(pcd::kernel_name(kernel));
                CAPTURE(chunk);
                CHECK(decode(cloud, {kernel, chunk}) == cloud.records);
            }
        }
    }
}

// Sections of many records first decode blocks of records with each kernel
// in turn, timed, and go on with the fastest.
TEST_CASE("a section long enough for the kernels to be timed: the oracle's records") {
    const Cloud cloud = make_cloud({{'F', 4, 3}, {'U', 2, 1}, {'F', 4, 2}, {'I', 4, 1}}, 70000, 99);
    for (const std::size_t chunk : {std::size_t{100}, std::size_t{1} << 18}) {
        CAPTURE(chunk);
        pcd::AsciiDecoding decoding;
        decoding.window_chunk = chunk;
        CHECK(decode(cloud, decoding) == cloud.records);
    }
}

// What a vector kernel's run decoder takes: plain decimals of up to fifteen
// digits and sixteen bytes, with a sign and a point, whole tokens only, and
// integers that fit a 32-bit lane; integer lanes are marked 'I' or 'U'.
TEST_CASE("run decoders take plain decimals of up to fifteen digits") {
    struct Run {
        std::string text;
        const char* lanes;
        bool taken;
    };
    std::vector<Run> runs = {
        {" 1.5 -2.25 3 .5", "FFFF", true},
        {"-12.345678 -1.2345678 -123.45678 12345678", "FFFF", true},
        {"5. -.5 -0 0.0000001", "FFFF", true},
        {"123456789 1 2 3", "FFFF", true},
        {"-0.12345678 1 2 3", "FFFF", true},
        {"1 2 3 -12345678.9", "FFFF", true},
        {"-1234567.1234567 123456789012345. 0.00000001234567 1", "FFFF", true},
        {"-000000000000001 1 2 3", "FFFF", true},
        {"1 2 3 1234567890123456", "FFFF", false},   // sixteen digits
        {"1 2 3 -1234567.12345678", "FFFF", false},  // seventeen bytes
        {"1 2 3 -.123456789", "FFFF", false},        // no integer digit
        {"8388609.5 1 2 3", "FFFF", false},          // a binary32 halfway point
        {"1 2 3 131072.0078125", "FFFF", false},     // 2^17 + 2^-7, halfway
        {"1 2 3 131072.007812501", "FFFF", true},    // just above it
        {"123456789 -1234567890 2147483647 7", "IIUI", true},
        {"1 2 3 2147483648", "FFFI", false},  // past a 32-bit lane
        {"1 2 3 4294967295", "FFFU", false},
        {"1 2 3 -2147483649", "FFFI", false},
        {"1e5 1 2 3", "FFFF", false},
        {"1 2 3 4.5.6", "FFFF", false},
        {"1 2 3 12345.678901.2", "FFFF", false},
        {"1 2 3", "FFFF", false},  // three numbers for four elements
    };
    // The point at every place of fifteen digits, and of fourteen after a sign.
    for (std::size_t at = 0; at <= 15; ++at) {
        const std::string plain = std::string("123456789012345").insert(at, ".");
        const std::string negative =
            "-" + std::string("12345678901234").insert(at < 15 ? at : 14, ".");
        runs.push_back({"1 " + plain + " " + negative + " 3", "FFFF", at != 0});
    }
    pcd::PackedElements four;
    four.count = 4;
    four.bytes = 16;
    for (const pcd::Kernel kernel : pcd::runnable_kernels()) {
        const pcd::PackedDecoder decode = pcd::kernel_code(kernel).decode;
        if (decode == nullptr) continue;
        for (const Run& run : runs) {
            CAPTURE(pcd::kernel_name(kernel));
            CAPTURE(run.text);
            four.integer_lanes = 0;
            four.unsigned_lanes = 0;
            for (int i = 0; i < 4; ++i) {
                four.integer_lanes |= (run.lanes[i] != 'F') << i;
                four.unsigned_lanes |= (run.lanes[i] == 'U') << i;
            }
            // The run within the 64 bytes scanned, then zero padding.
            std::string text = run.text + " ";
            text.resize(64, ' ');
            text.append(16, '\0');
            std::uint8_t elements[16] = {};
            const char* const next = decode(text.data(), four, elements);
            REQUIRE((next != nullptr) == run.taken);
            if (!run.taken) continue;
            CHECK(next == text.data() + run.text.size());
            std::istringstream tokens(run.text);
            std::string token;
            for (int i = 0; i < 4 && tokens >> token; ++i) {
                std::uint8_t expected[4] = {};
                const FieldLayout field(run.lanes[i], 4, 1);
                expected_element(field, token, expected);
                CAPTURE(token);
                CHECK(std::memcmp(elements + 4 * i, expected, 4) == 0);
            }
        }
    }
}
