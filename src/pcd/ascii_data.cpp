// The "ascii" decode loop: walks the text of a TextWindow record by record
// and slot by slot, hands runs of packed elements to the kernel's run decoder
// while it takes them, and converts every other number with the decimal
// shortcuts (decimal_parse.hpp, decimal_rounding.hpp) or, failing those, the
// general conversions (fast_float_shim.hpp). Large sections first time the
// kernels the processor runs on a few blocks of records and keep the fastest.

#include "pcd/ascii_data.hpp"

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <type_traits>
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

// The value of the scaled decimal that ends at `next` (nullptr where the
// number was given up), rounded by the shortcuts, else by fast_float reading
// the number at `p` whole. Stores it into `element` unless that is null.
template <typename T>
const char* round_scaled(const char* p, const char* end, const char* next,
                         const ScaledDecimal& decimal, std::uint8_t* element) {
    T value;
    bool rounded;
    if constexpr (std::is_same_v<T, float>)
        rounded = next != nullptr && scaled_decimal_to_float(decimal, value);
    else
        rounded = next != nullptr && scaled_decimal_to_double(decimal, value);
    if (!rounded) return convert_float<T>(p, end, element);
    if (element != nullptr) std::memcpy(element, &value, sizeof value);
    return next;
}

// Numbers the short decimal paths leave: exponents ("1.234567890123456789e+01")
// and long mantissas, then fast_float for what those cannot round cheaply.
// Stores the value into `element` unless that is null.
template <typename T>
const char* convert_scientific(const char* p, const char* end, std::uint8_t* element) {
    ScaledDecimal decimal;
    return round_scaled<T>(p, end, parse_scientific(p, decimal), decimal, element);
}

// A number whose short mantissa parse_short_decimal read up to the exponent
// mark `mark`: the exponent is read on from there.
template <typename T>
const char* convert_exponent(const char* p, const char* end, const char* mark,
                             const ShortDecimal& parts, std::uint8_t* element) {
    ScaledDecimal decimal;
    return round_scaled<T>(p, end, with_exponent(mark, parts, decimal), decimal, element);
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
        if (next != nullptr && is_exponent_mark(*next))
            return convert_exponent<float>(p, end, next, decimal, element);
        if (next == nullptr || !short_decimal_to_float(decimal, value))
            return convert_scientific<float>(p, end, element);
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
            if (next != nullptr && is_exponent_mark(*next))
                return convert_exponent<double>(p, end, next, decimal, target);
            if (next == nullptr || !short_decimal_to_double(decimal, value))
                return convert_scientific<double>(p, end, target);
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

// The runs of one kernel's plan and the state of their tries.
struct KernelRuns {
    Kernel kernel = Kernel::scalar;
    PackedDecoder decode = nullptr;
    std::vector<PackedRun> runs;
    // Integers in a lane of their own may be refused in every record (a field
    // of nine-digit numbers): then the runs of a four-lane plan, which leave
    // them to the scalar decoder, take over for the rest of the text.
    std::vector<PackedRun> four_lane_runs;
    // Two whole records at once, where they fit a run (record_pair_run).
    PackedRun pair;
};

KernelRuns plan_kernel(Kernel kernel, const std::vector<AsciiSlot>& slots, std::size_t step) {
    const KernelCode code = kernel_code(kernel);
    KernelRuns plan;
    plan.kernel = kernel;
    plan.decode = code.decode;
    if (code.decode != nullptr) {
        plan.runs = plan_packed_runs(slots, code.eight_lanes);
        if (code.eight_lanes) plan.four_lane_runs = plan_packed_runs(slots, false);
        plan.pair = record_pair_run(slots, plan.runs, step);
    }
    return plan;
}

bool all_given_up(const std::vector<PackedRun>& runs) {
    for (const PackedRun& run : runs)
        if (run.shape.lanes.count != 0 && !run.given_up()) return false;
    return true;
}

// Where decoding stands in the text.
struct Cursor {
    const char* p;
    const char* end;
};

// Decodes records `first` to `last` (excluded) of `records`, `step` bytes
// each, from the text at `cursor` with `plan`'s kernel. Returns false when the
// text ended or stopped, which leaves every later record 0.
template <bool with_runs>
bool decode_records_with(TextWindow& text, Cursor& cursor, const std::vector<AsciiSlot>& slots,
                         KernelRuns& plan, std::uint8_t* records, std::size_t step,
                         std::size_t first, std::size_t last, std::size_t* resume) {
    // Locals rather than members: the stores through byte pointers below
    // could alias any member, which would then be read again after each one.
    const char* p = cursor.p;
    const char* end = cursor.end;
    const PackedDecoder decode = plan.decode;
    PackedRun* runs = plan.runs.empty() ? nullptr : plan.runs.data();
    const AsciiSlot* const slot_table = slots.data();
    const std::size_t slot_count = slots.size();
    std::size_t pair_from = plan.pair.tried_from();
    bool finished = false;
    std::uint8_t* record = records + first * step;
    for (std::size_t i = first; i < last && !finished; ++i, record += step) {
        // Pairs of records while they are taken.
        while (with_runs && i >= pair_from && last - i >= 2 && end - p >= 64) {
            const char* const next = decode(p, plan.pair.shape.lanes, record);
            if (next == nullptr) {
                plan.pair.refused(i);
                pair_from = plan.pair.tried_from();
                break;
            }
            p = next;
            plan.pair.taken();
            i += 2;
            record += 2 * step;
        }
        if (with_runs && i == last) break;
        const std::uint64_t point_start = text.position(p);
        for (std::size_t s = 0; s < slot_count;) {
            // A run decoder reads 64 bytes at the cursor and up to 16 bytes
            // past them, which the window's padding covers.
            static_assert(TextWindow::padding >= 16, "run decoders read 16 bytes past 64");
            if (with_runs && runs != nullptr && runs[s].ready(i) && end - p >= 64) {
                PackedRun& run = runs[s];
                if (const char* next = decode(p, run.shape.lanes, record + slot_table[s].offset)) {
                    p = next;
                    run.taken();
                    s = run.shape.next_slot;
                    continue;
                }
                if (run.refused(i)) {
                    if (run.beyond_four_lanes) {
                        plan.runs = std::move(plan.four_lane_runs);
                        runs = plan.runs.data();
                        plan.pair = record_pair_run(slots, plan.runs, step);
                        pair_from = plan.pair.tried_from();
                    } else if (all_given_up(plan.runs)) {
                        // Text the kernel never takes (exponents, long
                        // mantissas) then costs nothing more for its runs.
                        plan.runs.clear();
                        runs = nullptr;
                    }
                }
            }
            const AsciiSlot& slot = slot_table[s++];
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
        if (text.position(p) == point_start) finished = true;
        if (with_runs && runs == nullptr && pair_from == SIZE_MAX && !finished) {
            // Every run given up: the rest goes through the loop without them.
            *resume = i + 1;
            break;
        }
    }
    cursor = {p, end};
    return !finished;
}

// Plans without a run decoder (the scalar kernel's), or whose runs have all
// been given up, go on in a loop without the tests for runs.
bool decode_records(TextWindow& text, Cursor& cursor, const std::vector<AsciiSlot>& slots,
                    KernelRuns& plan, std::uint8_t* records, std::size_t step, std::size_t first,
                    std::size_t last) {
    if (plan.decode != nullptr && (!plan.runs.empty() || plan.pair.tried_from() != SIZE_MAX)) {
        std::size_t resume = last;
        if (!decode_records_with<true>(text, cursor, slots, plan, records, step, first, last,
                                       &resume))
            return false;
        if (resume == last) return true;
        first = resume;
    }
    return decode_records_with<false>(text, cursor, slots, plan, records, step, first, last,
                                      nullptr);
}

// Sections of fewer records are decoded with the default kernel throughout.
constexpr std::size_t calibrated_records = 65536;
constexpr std::size_t calibration_block = 512;  // records timed at a time
constexpr int calibration_rounds = 4;

// Which kernel decodes a section fastest depends on the processor and on the
// text (its numbers' lengths decide how many runs a vector kernel takes), so
// every kernel the processor runs decodes a few blocks of records in turn,
// timed; the fastest takes the rest. Each block's best rate counts, so that a
// block slowed by something else on the machine does not decide. Returns the
// plan of the kernel chosen, or nullopt when the text has ended.
std::optional<KernelRuns> calibrate(TextWindow& text, Cursor& cursor,
                                    const std::vector<AsciiSlot>& slots, std::uint8_t* records,
                                    std::size_t step, std::size_t& next_record) {
    std::vector<KernelRuns> plans;
    for (const Kernel kernel : runnable_kernels())
        plans.push_back(plan_kernel(kernel, slots, step));
    std::vector<double> best_rate(plans.size(), 0.0);
    using Clock = std::chrono::steady_clock;
    for (int round = 0; round < calibration_rounds; ++round) {
        for (std::size_t k = 0; k < plans.size(); ++k) {
            const std::uint64_t start_byte = text.position(cursor.p);
            const Clock::time_point start = Clock::now();
            const bool more = decode_records(text, cursor, slots, plans[k], records, step,
                                             next_record, next_record + calibration_block);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            next_record += calibration_block;
            if (!more) return std::nullopt;
            const double rate = static_cast<double>(text.position(cursor.p) - start_byte) /
                                (seconds > 0 ? seconds : 1e-9);
            if (rate > best_rate[k]) best_rate[k] = rate;
        }
    }
    std::size_t fastest = 0;
    for (std::size_t k = 1; k < plans.size(); ++k)
        if (best_rate[k] > best_rate[fastest]) fastest = k;
    return std::move(plans[fastest]);
}

}  // namespace

void decode_ascii_data(std::istream& stream, std::uint64_t available, const PcdHeader& header,
                       PointBuffer& buffer, const AsciiDecoding& decoding) {
    if (available + 1 > max_point_buffer_bytes) throw std::length_error("vector too long");
    // The kernel asked for must be one the build has and the processor runs.
    if (decoding.kernel) kernel_code(*decoding.kernel);
    TextWindow text(stream, available, decoding.window_chunk);

    const std::vector<AsciiSlot> slots = build_slot_table(header);
    if (slots.empty() || header.points <= 0 || header.point_step <= 0) return;
    const auto step = static_cast<std::size_t>(header.point_step);
    // Never more records than the buffer holds, whatever the header claims.
    std::size_t points = static_cast<std::size_t>(header.points);
    if (points > buffer.size / step) points = buffer.size / step;

    Cursor cursor{text.begin(), text.end()};
    std::size_t next_record = 0;
    std::optional<KernelRuns> plan;
    if (!decoding.kernel && points >= calibrated_records && runnable_kernels().size() > 1) {
        plan = calibrate(text, cursor, slots, buffer.data.get(), step, next_record);
        if (!plan) return;
    } else {
        plan = plan_kernel(decoding.kernel.value_or(default_kernel()), slots, step);
    }
    decode_records(text, cursor, slots, *plan, buffer.data.get(), step, next_record, points);
}

}  // namespace pcd
