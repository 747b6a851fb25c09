#pragma once

// The plan of an "ascii" record: one slot per field (how its numbers are
// converted and stored, and where), and the runs of packed binary32 and
// integer elements that a vector kernel may decode at once, with the state
// of their tries.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pcd/field_types.hpp"
#include "pcd/packed_numbers.hpp"
#include "pcd/pcd_header.hpp"

namespace pcd {

// A run of `count` elements of one field, `size` bytes apart from `offset` on,
// in the order the text lists them. One run per field (two when part of the
// field lies outside the record), so the table stays small whatever COUNT says.
struct AsciiSlot {
    std::uint32_t offset;
    char type;
    std::int32_t size;
    Store store;
    std::int64_t count;
};

// The slots of a record, in the order of the text. No slot writes outside
// the record.
std::vector<AsciiSlot> build_slot_table(const PcdHeader& header);

template <typename T>
void store_low_bytes(std::uint8_t* element, std::uint64_t bits) {
    const auto narrow = static_cast<T>(bits);
    std::memcpy(element, &narrow, sizeof narrow);
}

// The low `size` bytes of an integer's two's complement bits (8 for any size above).
inline void store_integer(std::uint8_t* element, std::uint64_t bits, std::int32_t size) {
    switch (size) {
        case 1: return store_low_bytes<std::uint8_t>(element, bits);
        case 2: return store_low_bytes<std::uint16_t>(element, bits);
        case 4: return store_low_bytes<std::uint32_t>(element, bits);
        default: return store_low_bytes<std::uint64_t>(element, bits);
    }
}

// A run of packed elements (x y z intensity, a colour and a normal's three
// components) that a vector kernel may take at once, and the first slot
// after it.
struct RunShape {
    PackedElements lanes;  // count 0 where no run starts at the slot
    std::size_t next_slot = 0;
};

// A run starting at a slot and the state of its tries. Text the vector kernel
// cannot take (longer numbers, exponents) costs it a try per record, which
// pays only while most tries succeed: after 8 refusals in a row, or more
// refusals than successes over 64 tries, the run rests, first for 1024
// records and then for twice as long each time it fails again, up to 65536;
// failing after that, it is given up for the rest of the section.
struct PackedRun {
    RunShape shape;
    // Whether the run holds integers that a four-lane plan leaves out.
    bool beyond_four_lanes = false;

    // Whether the run is tried at record `i`.
    bool ready(std::size_t i) const { return shape.lanes.count != 0 && i >= resumes_; }
    bool given_up() const { return resumes_ == SIZE_MAX; }
    // The first record from which it is tried (none where there is no run).
    std::size_t tried_from() const { return shape.lanes.count != 0 ? resumes_ : SIZE_MAX; }
    void taken() {
        refusals_in_a_row_ = 0;
        count_try(false);
    }
    // A refusal at record `i`; returns whether the run starts resting.
    bool refused(std::size_t i) {
        if (++refusals_in_a_row_ == 8 || count_try(true)) {
            rest(i);
            return true;
        }
        return false;
    }

   private:
    static constexpr int window = 64;
    static constexpr std::size_t first_rest = 1024;
    static constexpr std::size_t longest_rest = 65536;

    // Returns whether the window of tries just ended with more refusals than successes.
    bool count_try(bool refused) {
        refusals_ += refused;
        if (++tries_ < window) return false;
        const bool poor = 2 * refusals_ > tries_;
        if (!poor) rest_ = first_rest;
        tries_ = refusals_ = 0;
        return poor;
    }
    void rest(std::size_t i) {
        // Past the longest rest: given up.
        resumes_ = rest_ > longest_rest ? SIZE_MAX : i + rest_;
        if (rest_ <= longest_rest) rest_ *= 2;
        refusals_in_a_row_ = tries_ = refusals_ = 0;
    }

    int refusals_in_a_row_ = 0;
    int tries_ = 0;
    int refusals_ = 0;
    std::size_t rest_ = first_rest;
    std::size_t resumes_ = 0;  // the record at which it is tried again
};

// One entry per slot, the runs taken from the start of the record on. With
// `eight_lanes`, runs for a kernel of eight lanes: 32-bit integers in any
// lane, and integers of one or two bytes too; otherwise integers only in
// lanes that binary32 elements leave free.
std::vector<PackedRun> plan_packed_runs(const std::vector<AsciiSlot>& slots, bool eight_lanes);

// Where the run at the first slot covers the whole record of `step` bytes and
// twice its elements fit a run decoder (x y z intensity, or integers of four
// fields, in short lines), the run of two records at once: the decode loop
// then calls the kernel once per pair of records. Count 0 otherwise.
PackedRun record_pair_run(const std::vector<AsciiSlot>& slots, const std::vector<PackedRun>& runs,
                          std::size_t step);

}  // namespace pcd
