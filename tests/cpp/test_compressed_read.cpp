// The reading of "binary_compressed" sections from a stream: blocks shorter
// and longer than the records, padding left out, one point and many, each
// giving the records of the file and a point buffer of their size.

#include <doctest/doctest.h>
extern "C" {
#include <lzf.h>
}

#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "packed_header.hpp"
#include "pcd/compressed_data.hpp"

namespace {

std::string section_of(const std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> block(image.size() + image.size() / 16 + 64);
    const unsigned int size = lzf_compress(image.data(), static_cast<unsigned int>(image.size()),
                                           block.data(), static_cast<unsigned int>(block.size()));
    REQUIRE(size > 0);
    const std::uint32_t words[2] = {size, static_cast<std::uint32_t>(image.size())};
    std::string section(reinterpret_cast<const char*>(words), sizeof words);
    section.append(reinterpret_cast<const char*>(block.data()), size);
    return section;
}

}  // namespace

TEST_CASE("blocks shorter and longer than the records, padding left out: the same records") {
    struct Case {
        const char* name;
        std::int32_t points;
        bool noise;        // random bytes: the block is longer than the records
        bool padding_out;  // a 4-byte "_" field left out of the block
    };
    const Case cases[] = {
        {"compressible", 3000, false, false},          {"incompressible", 3000, true, false},
        {"padding left out", 3000, true, true},        {"one point", 1, false, false},
        {"one point, incompressible", 1, true, false},
    };
    std::mt19937 random(3);
    for (const Case& c : cases) {
        CAPTURE(c.name);
        const pcd::PcdHeader header = packed_header(
            {{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {c.padding_out ? "_" : "w", 4, 1}}, c.points);
        const std::size_t points = static_cast<std::size_t>(c.points);
        std::vector<std::uint8_t> records(points * 16);
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i] = static_cast<std::uint8_t>(c.noise ? random() : i / 64 % 7);
        std::vector<std::uint8_t> image;
        for (std::size_t field = 0; field < (c.padding_out ? 3u : 4u); ++field)
            for (std::size_t i = 0; i < points; ++i)
                image.insert(image.end(), &records[i * 16 + field * 4],
                             &records[i * 16 + field * 4] + 4);
        if (c.padding_out)
            for (std::size_t i = 0; i < points; ++i) std::memset(&records[i * 16 + 12], 0, 4);
        const std::string section = section_of(image);
        CHECK((section.size() - 8 > image.size()) == c.noise);

        std::istringstream stream(section);
        const auto buffer = pcd::decode_compressed_data(stream, section.size(), header);
        REQUIRE(buffer->size == records.size());
        CHECK(buffer->capacity == buffer->size);
        CHECK(std::vector<std::uint8_t>(buffer->data.get(), buffer->data.get() + buffer->size) ==
              records);
    }
}
