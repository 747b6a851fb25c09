// Regrouping of a decompressed "binary_compressed" image into packed records.
// PCD writers compress the records grouped by field (every point's bytes of the
// first field, then of the second, ...); the reader turns that image back into
// one record after another. Plain byte copies: no I/O, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcd/pcd_header.hpp"

namespace pcd {

// One field's run of bytes in the image: `width` bytes per point, all points
// one after another, landing at `offset` in each record.
struct FieldGroup {
    std::size_t offset;
    std::size_t width;
};

// The field groups an image of `image_size` bytes holds, in order: every field
// of the header, or every field but the "_" padding that PCL's writer leaves
// out. Empty when the size fits neither, since the fields of such an image
// cannot be told apart.
std::vector<FieldGroup> image_groups(const PcdHeader& header, std::uint64_t image_size);

// Writes `points` records of `step` bytes to `records` from `image`, which
// holds `groups` one after another (in record order, each of `points`
// elements). Record bytes that no group covers are set to 0, so `records`
// needs no initial contents.
void regroup_by_field(const std::uint8_t* image, const std::vector<FieldGroup>& groups,
                      std::size_t points, std::size_t step, std::uint8_t* records);

}  // namespace pcd
