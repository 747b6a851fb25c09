// Field-grouped image to packed records, a cache-sized slice of points at a
// time. Relies on the groups lying inside the record in increasing offsets.
#include "pcd/compressed_regroup.hpp"

#include <algorithm>
#include <cstring>

namespace pcd {
namespace {

// Records written per slice, in bytes: every group's copy into a slice
// finds its records still in the L1 cache from the previous group's.
constexpr std::size_t slice_bytes = 4096;

template <std::size_t Width>
void scatter_fixed(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::size_t step) {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * step, src + i * Width, Width);
}

void scatter(const std::uint8_t* src, std::uint8_t* dst, std::size_t n, std::size_t width,
             std::size_t step) {
    switch (width) {
        case 1: return scatter_fixed<1>(src, dst, n, step);
        case 2: return scatter_fixed<2>(src, dst, n, step);
        case 3: return scatter_fixed<3>(src, dst, n, step);
        case 4: return scatter_fixed<4>(src, dst, n, step);
        case 6: return scatter_fixed<6>(src, dst, n, step);
        case 8: return scatter_fixed<8>(src, dst, n, step);
        case 12: return scatter_fixed<12>(src, dst, n, step);
        case 16: return scatter_fixed<16>(src, dst, n, step);
        case 24: return scatter_fixed<24>(src, dst, n, step);
        default:
            for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i * step, src + i * width, width);
    }
}

void clear(std::uint8_t* dst, std::size_t n, std::size_t width, std::size_t step) {
    for (std::size_t i = 0; i < n; ++i) std::memset(dst + i * step, 0, width);
}

// The byte ranges of a record that no group covers.
std::vector<FieldGroup> gaps_between(const std::vector<FieldGroup>& groups, std::size_t step) {
    std::vector<FieldGroup> gaps;
    std::size_t end = 0;
    for (const FieldGroup& group : groups) {
        if (group.offset > end) gaps.push_back({end, group.offset - end});
        end = group.offset + group.width;
    }
    if (step > end) gaps.push_back({end, step - end});
    return gaps;
}

}  // namespace

std::vector<FieldGroup> image_groups(const PcdHeader& header, std::uint64_t image_size) {
    const auto points = static_cast<std::uint64_t>(header.points);
    std::vector<FieldGroup> all;
    std::vector<FieldGroup> unpadded;
    std::uint64_t all_width = 0;
    std::uint64_t unpadded_width = 0;
    for (const PcdField& field : header.fields) {
        const FieldGroup group{static_cast<std::size_t>(field.offset),
                               static_cast<std::size_t>(field.size) * field.count};
        all.push_back(group);
        all_width += group.width;
        if (field.name != "_") {
            unpadded.push_back(group);
            unpadded_width += group.width;
        }
    }
    if (image_size == points * all_width) return all;
    if (unpadded.size() < all.size() && image_size == points * unpadded_width) return unpadded;
    return {};
}

void regroup_by_field(const std::uint8_t* image, const std::vector<FieldGroup>& groups,
                      std::size_t points, std::size_t step, std::uint8_t* records) {
    const std::vector<FieldGroup> gaps = gaps_between(groups, step);
    const std::size_t slice =
        std::max<std::size_t>(1, slice_bytes / std::max<std::size_t>(step, 1));
    for (std::size_t first = 0; first < points; first += slice) {
        const std::size_t n = std::min(slice, points - first);
        std::uint8_t* const out = records + first * step;
        const std::uint8_t* group_start = image;
        for (const FieldGroup& group : groups) {
            scatter(group_start + first * group.width, out + group.offset, n, group.width, step);
            group_start += points * group.width;
        }
        for (const FieldGroup& gap : gaps) clear(out + gap.offset, n, gap.width, step);
    }
}

}  // namespace pcd
