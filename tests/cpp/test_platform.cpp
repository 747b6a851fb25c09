// The platform layer's bit operations against plain loops, in the branch the
// build takes (builtins here; the generic one in decimal_unit_tests_x87).

#include <doctest/doctest.h>

#include <cstdint>
#include <random>

#include "pcd/platform.hpp"

TEST_CASE("bit scans, counts, byte swaps and little-endian loads") {
    std::mt19937_64 random(3);
    for (int i = 0; i < 20000; ++i) {
        // Values with every lowest bit, sparse and dense.
        std::uint64_t value = random() << (i % 64);
        if (i % 3 == 0) value &= random();
        if (value == 0) value = std::uint64_t{1} << 63;
        CAPTURE(value);
        int lowest = 0;
        while (((value >> lowest) & 1) == 0) ++lowest;
        int count = 0;
        for (int b = 0; b < 64; ++b) count += static_cast<int>((value >> b) & 1);
        std::uint64_t swapped = 0;
        unsigned char bytes[8];
        for (int b = 0; b < 8; ++b) {
            swapped |= ((value >> (8 * b)) & 0xFF) << (8 * (7 - b));
            bytes[b] = static_cast<unsigned char>(value >> (8 * b));
        }
        CHECK(pcd::platform::lowest_set_bit(value) == lowest);
        CHECK(pcd::platform::set_bit_count(value) == count);
        CHECK(pcd::platform::byte_swap(value) == swapped);
        CHECK(pcd::platform::load_little_endian(bytes) == value);
    }
    CHECK(pcd::platform::set_bit_count(0) == 0);
}
