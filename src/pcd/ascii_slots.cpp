// The slot table of an "ascii" record and the runs a vector kernel may take:
// built once per load from the header, before any text is read.

#include "pcd/ascii_slots.hpp"

#include <algorithm>

namespace pcd {
namespace {

// Bytes a store writes, so that no slot can reach past its record.
std::int64_t store_width(Store store, std::int32_t size) {
    switch (store) {
        case Store::float32: return 4;
        case Store::float64: return 8;
        case Store::signed_int:
        case Store::unsigned_int: return size >= 8 ? 8 : size;
        default: return 0;
    }
}

Store discarding(Store store) {
    switch (store) {
        case Store::float32:
        case Store::float64: return Store::float_discard;
        case Store::signed_int: return Store::signed_discard;
        case Store::unsigned_int: return Store::unsigned_discard;
        default: return store;
    }
}

// Runs of fewer binary32 elements decode as fast one number at a time.
constexpr std::int64_t min_float32_run = 3;

// Binary32 elements are valued four at a time by a four-lane kernel; 32-bit
// integers join a run only in lanes its binary32 elements leave free, as a
// lane of their own costs more than the scalar decoder takes for them. An
// eight-lane kernel takes integers in any of its lanes, and those of one or
// two bytes as well.
RunShape longest_run(const std::vector<AsciiSlot>& slots, std::size_t first, bool eight_lanes) {
    RunShape run;
    RunShape longest;
    PackedElements& lanes = run.lanes;
    std::int64_t floats = 0;
    for (std::size_t next = first; next < slots.size(); ++next) {
        const AsciiSlot& slot = slots[next];
        const bool integer =
            (slot.store == Store::signed_int || slot.store == Store::unsigned_int) &&
            (slot.size == 4 || (eight_lanes && (slot.size == 1 || slot.size == 2)));
        if ((slot.store != Store::float32 && !integer) ||
            slot.offset != slots[first].offset + std::int64_t{lanes.bytes} ||
            lanes.count + slot.count > max_packed_numbers)
            break;
        for (std::int64_t k = 0; k < slot.count; ++k, ++lanes.count) {
            if (integer) lanes.integer_lanes |= 1 << lanes.count;
            if (slot.store == Store::unsigned_int) lanes.unsigned_lanes |= 1 << lanes.count;
            for (std::int32_t b = 0; b < slot.size; ++b)
                lanes.sources[lanes.bytes++] = static_cast<std::uint8_t>(4 * lanes.count + b);
        }
        if (!integer) floats += slot.count;
        run.next_slot = next + 1;
        if (floats >= min_float32_run && (eight_lanes || lanes.count <= 4 * ((floats + 3) / 4)))
            longest = run;
    }
    return longest;
}

}  // namespace

std::vector<AsciiSlot> build_slot_table(const PcdHeader& header) {
    std::vector<AsciiSlot> slots;
    slots.reserve(header.fields.size());
    for (const PcdField& field : header.fields) {
        if (field.count < 1) continue;
        const Store store = field_type(field.type, field.size).ascii;
        // Elements of a header whose layout does not hold them still have their
        // numbers consumed, but nothing may be written outside the record: the
        // leading elements that fit keep their store, the rest discard.
        std::int64_t fitting = 0;
        if (field.offset >= 0 && field.size >= 1) {
            const std::int64_t room =
                std::int64_t{header.point_step} - field.offset - store_width(store, field.size);
            if (room >= 0) fitting = std::min<std::int64_t>(field.count, room / field.size + 1);
        }
        if (fitting > 0)
            slots.push_back(
                {static_cast<std::uint32_t>(field.offset), field.type, field.size, store, fitting});
        if (fitting < field.count)
            slots.push_back({0, field.type, 0, discarding(store), field.count - fitting});
    }
    return slots;
}

std::vector<PackedRun> plan_packed_runs(const std::vector<AsciiSlot>& slots, bool eight_lanes) {
    std::vector<PackedRun> runs(slots.size());
    for (std::size_t first = 0; first < slots.size();) {
        PackedRun& run = runs[first];
        run.shape = longest_run(slots, first, eight_lanes);
        if (run.shape.lanes.count == 0) {
            ++first;
            continue;
        }
        run.beyond_four_lanes =
            eight_lanes && longest_run(slots, first, false).lanes.count != run.shape.lanes.count;
        first = run.shape.next_slot;
    }
    return runs;
}

PackedRun record_pair_run(const std::vector<AsciiSlot>& slots, const std::vector<PackedRun>& runs,
                          std::size_t step) {
    PackedRun pair;
    if (runs.empty()) return pair;
    const RunShape& one = runs[0].shape;
    const PackedElements& lanes = one.lanes;
    if (lanes.count == 0 || one.next_slot != slots.size() || slots[0].offset != 0 ||
        static_cast<std::size_t>(lanes.bytes) != step || 2 * lanes.count > max_packed_numbers)
        return pair;
    PackedElements& both = pair.shape.lanes;
    both = lanes;
    both.count = 2 * lanes.count;
    both.integer_lanes |= lanes.integer_lanes << lanes.count;
    both.unsigned_lanes |= lanes.unsigned_lanes << lanes.count;
    both.bytes = 2 * lanes.bytes;
    // The second record's bytes come from the lanes after the first's.
    for (int b = 0; b < lanes.bytes; ++b)
        both.sources[lanes.bytes + b] =
            static_cast<std::uint8_t>(lanes.sources[b] + 4 * lanes.count);
    pair.shape.next_slot = slots.size();
    pair.beyond_four_lanes = runs[0].beyond_four_lanes;
    return pair;
}

}  // namespace pcd
