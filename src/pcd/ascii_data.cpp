// The "ascii" decode loop: walks the text of a TextWindow record by record
// and slot by slot, hands runs of packed elements to the chosen vector kernel
// while it takes them, and converts every other number with the decimal
// shortcuts (decimal_parse.hpp, decimal_rounding.hpp) or, failing those, the
// general conversions (fast_float_shim.hpp).

#include "pcd/ascii_data.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "pcd/ascii_slots.hpp"
#include "pcd/decimal_parse.hpp"
#include "pcd/decimal_rounding.hpp"
#include "pcd/fast_float_shim.hpp"
#include "pcd/text_window.hpp"

namespace pcd {
namespace {

template <typename T>
const char* parse_integer(const char* p, const char* end, T& value, bool& has_value) {
    std::uint64_t bits;
    if (const char* next = parse_short_integer<std::is_signed_v<T>>(p, bits)) {
        value = static_cast<T>(bits);
        has_value = true;
        return next;
    }
    return convert_integer(p, end, value, has_value);
}

// Converts the number at `p` for `slot` and stores it into `element`; returns
// the first byte after what was consumed (`p` itself when nothing was).
inline const char* convert_slot(const AsciiSlot& slot, const char* p, const char* end,
                                std::uint8_t* element) {
    // Most slots are binary32; testing for them first spares them the jump table.
    if (slot.store == Store::float32) {
        ShortDecimal decimal;
        float value;
        const char* next = parse_short_decimal(p, decimal);
        if (next == nullptr || !short_decimal_to_float(decimal, value))
            return convert_float<float>(p, end, element);
        std::memcpy(element, &value, sizeof value);
        return next;
    }
    switch (slot.store) {
        case Store::float32: break;
        case Store::float64:
        case Store::float_discard: {
            std::uint8_t* const target = slot.store == Store::float64 ? element : nullptr;
            ShortDecimal decimal;
            double value;
            const char* next = parse_fixed_point(p, decimal);
            if (next == nullptr) next = parse_short_decimal(p, decimal);
            if (next == nullptr || !short_decimal_to_double(decimal, value))
                return convert_float<double>(p, end, target);
            if (target != nullptr) std::memcpy(target, &value, sizeof value);
            return next;
        }
        case Store::signed_int:
        case Store::signed_discard: {
            std::int64_t value = 0;
            bool has_value = false;
            const char* next = parse_integer(p, end, value, has_value);
            if (has_value && slot.store == Store::signed_int)
                store_integer(element, static_cast<std::uint64_t>(value), slot.size);
            return next;
        }
        case Store::unsigned_int:
        case Store::unsigned_discard: {
            std::uint64_t value = 0;
            bool has_value = false;
            const char* next = parse_integer(p, end, value, has_value);
            if (has_value && slot.store == Store::unsigned_int)
                store_integer(element, value, slot.size);
            return next;
        }
        case Store::none: break;
    }
    return p;
}

}  // namespace

void decode_ascii_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                       PointBuffer& buffer, const AsciiDecoding& decoding) {
    if (available + 1 > max_point_buffer_bytes) throw std::length_error("vector too long");
    const KernelCode kernel = kernel_code(decoding.kernel);
    TextWindow text(stream, available, decoding.window_chunk);

    const std::vector<AsciiSlot> slots = build_slot_table(header);
    if (slots.empty() || header.points <= 0 || header.point_step <= 0) return;
    const auto step = static_cast<std::size_t>(header.point_step);
    // Never more records than the buffer holds, whatever the header claims.
    std::size_t points = static_cast<std::size_t>(header.points);
    if (points > buffer.size / step) points = buffer.size / step;

    std::vector<PackedRun> runs;
    // Integers in a lane of their own may be refused in every record (a field
    // of nine-digit numbers): then the runs of a four-lane plan, which leave
    // them to the scalar decoder, take over for the rest of the text.
    std::vector<PackedRun> four_lane_runs;
    if (kernel.decode != nullptr) {
        runs = plan_packed_runs(slots, kernel.eight_lanes);
        if (kernel.eight_lanes) four_lane_runs = plan_packed_runs(slots, false);
    }

    const char* p = text.begin();
    const char* end = text.end();
    bool finished = false;
    std::uint8_t* record = buffer.data.get();
    for (std::size_t i = 0; i < points && !finished; ++i, record += step) {
        const std::uint64_t point_start = text.position(p);
        for (std::size_t s = 0; s < slots.size();) {
            // A run decoder reads 64 bytes at the cursor and up to 8 bytes
            // past them, which the window's padding covers.
            static_assert(TextWindow::padding >= 8, "run decoders read 8 bytes past 64");
            if (!runs.empty() && runs[s].shape.lanes.count != 0 && i >= runs[s].resumes &&
                end - p >= 64) {
                PackedRun& run = runs[s];
                if (const char* next =
                        kernel.decode(p, run.shape.lanes, record + slots[s].offset)) {
                    p = next;
                    run.refusals = 0;
                    s = run.shape.next_slot;
                    continue;
                }
                if (++run.refusals == 8) {
                    run.refusals = 0;
                    run.resumes = i + 1024;
                    if (run.beyond_four_lanes) runs = std::move(four_lane_runs);
                }
            }
            const AsciiSlot& slot = slots[s++];
            std::uint8_t* element = record + slot.offset;
            std::int64_t k = 0;  // every slot has at least one element
            do {
                // Usually a number is followed by one separator and the next
                // number, well before the window's end.
                if (end - p > 1 && is_separator(p[0]) && !is_separator(p[1])) {
                    ++p;
                } else {
                    for (;;) {
                        while (p != end && is_separator(*p)) ++p;
                        if (p != end || text.exhausted()) break;
                        p = text.advance(p);
                        end = text.end();
                    }
                    finished = p == end;
                    if (finished) break;
                }
                const char* const next = convert_slot(slot, p, end, element);
                // An element that consumes nothing stores nothing, and every
                // later element of the run would do the same at the same text.
                if (next == p) break;
                p = next;
                element += slot.size;
            } while (++k < slot.count);
            if (finished) break;
        }
        // A point that consumed nothing leaves the cursor where it found it,
        // so every later point would do the same: the rest stay 0.
        if (text.position(p) == point_start) break;
    }
}

}  // namespace pcd
