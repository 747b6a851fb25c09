// The regrouping of a decompressed "binary_compressed" image into records,
// without a file: which field groups an image of a given size holds, and that
// every record comes out as the packed layout has it (uncovered "_" padding as
// zeros) for field widths of every kind, any number of points and records
// wider than the regrouping's slices.

#include <doctest/doctest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "packed_header.hpp"
#include "pcd/compressed_regroup.hpp"
#include "pcd/pcd_header.hpp"

namespace {

// The image a writer compresses: each field's bytes of every point, field
// after field, padding fields left out when `with_padding` is false.
std::vector<std::uint8_t> field_grouped(const pcd::PcdHeader& header,
                                        const std::vector<std::uint8_t>& records,
                                        bool with_padding) {
    std::vector<std::uint8_t> image;
    const auto step = static_cast<std::size_t>(header.point_step);
    for (const pcd::PcdField& field : header.fields) {
        if (field.name == "_" && !with_padding) continue;
        const auto width = static_cast<std::size_t>(field.size) * field.count;
        for (std::size_t i = 0; i < static_cast<std::size_t>(header.points); ++i) {
            const std::uint8_t* at = records.data() + i * step + field.offset;
            image.insert(image.end(), at, at + width);
        }
    }
    return image;
}

const std::vector<std::pair<const char*, std::vector<TestField>>> layouts = {
    {"one field", {{"x", 4, 1}}},
    {"x y z intensity", {{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"intensity", 4, 1}}},
    {"widths 1 2 8",
     {{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"a", 1, 1}, {"b", 2, 1}, {"t", 8, 1}}},
    {"count 3 of 4 (12)", {{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"normal", 4, 3}}},
    {"count first, odd widths",
     {{"n", 4, 2}, {"c", 1, 3}, {"x", 4, 1}, {"k", 1, 5}, {"y", 8, 1}, {"q", 2, 7}, {"z", 4, 1}}},
    {"padding inside", {{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"_", 1, 4}, {"rgb", 4, 1}}},
    {"padding first and last", {{"_", 4, 1}, {"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"_", 1, 3}}},
    {"padding between padding", {{"x", 8, 1}, {"_", 1, 1}, {"_", 2, 1}, {"y", 8, 1}, {"z", 8, 1}}},
    {"record wider than a slice", {{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"h", 4, 1100}}},
};

const std::int32_t point_counts[] = {0, 1, 2, 3, 97, 255, 256, 257, 1000, 5000};

}  // namespace

TEST_CASE("regrouping a field-grouped image gives the packed records") {
    std::mt19937 random(7);
    for (const auto& [name, decls] : layouts) {
        for (const std::int32_t points : point_counts) {
            const pcd::PcdHeader header = packed_header(decls, points);
            const auto step = static_cast<std::size_t>(header.point_step);
            std::vector<std::uint8_t> records(static_cast<std::size_t>(points) * step);
            for (std::uint8_t& byte : records) byte = static_cast<std::uint8_t>(random());
            bool padded = false;
            for (const TestField& decl : decls) padded = padded || decl.name == "_";
            for (const bool with_padding : {true, false}) {
                if (!with_padding && !padded) continue;
                CAPTURE(name);
                CAPTURE(points);
                CAPTURE(with_padding);
                const std::vector<std::uint8_t> image =
                    field_grouped(header, records, with_padding);
                const std::vector<pcd::FieldGroup> groups = pcd::image_groups(header, image.size());
                std::vector<std::uint8_t> expected = records;
                if (!with_padding) {
                    for (const pcd::PcdField& field : header.fields) {
                        if (field.name != "_") continue;
                        for (std::size_t i = 0; i < static_cast<std::size_t>(points); ++i)
                            for (std::int32_t b = 0; b < field.size * field.count; ++b)
                                expected[i * step + field.offset + b] = 0;
                    }
                }
                if (points == 0) {
                    // An empty image fits every layout; nothing is written.
                    REQUIRE_FALSE(groups.empty());
                    continue;
                }
                std::size_t held = 0;
                for (const TestField& decl : decls)
                    held += with_padding || std::string(decl.name) != "_" ? 1 : 0;
                REQUIRE(groups.size() == held);
                // Garbage beforehand: the regrouping writes every byte.
                std::vector<std::uint8_t> out(records.size() + 64, 0xA5);
                pcd::regroup_by_field(image.data(), groups, static_cast<std::size_t>(points), step,
                                      out.data());
                CHECK(std::vector<std::uint8_t>(out.begin(), out.begin() + records.size()) ==
                      expected);
                CHECK(std::vector<std::uint8_t>(out.begin() + records.size(), out.end()) ==
                      std::vector<std::uint8_t>(64, 0xA5));
            }
        }
    }
}

TEST_CASE("an image of neither size holds no field groups") {
    // x y z F4 and a 4-byte padding field: 16 bytes a record, 12 without padding.
    const pcd::PcdHeader padded =
        packed_header({{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"_", 4, 1}}, 5);
    const pcd::PcdHeader plain =
        packed_header({{"x", 4, 1}, {"y", 4, 1}, {"z", 4, 1}, {"w", 4, 1}}, 5);
    struct Case {
        const pcd::PcdHeader* header;
        std::uint64_t size;
        std::size_t groups;
    };
    const Case cases[] = {
        {&padded, 80, 4}, {&padded, 60, 3}, {&padded, 79, 0},
        {&padded, 61, 0}, {&padded, 0, 0},  {&plain, 80, 4},
        {&plain, 60, 0},  {&plain, 81, 0},  {&plain, 80 + (std::uint64_t{1} << 32), 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.size);
        CHECK(pcd::image_groups(*c.header, c.size).size() == c.groups);
    }
}
