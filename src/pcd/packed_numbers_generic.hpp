// The run decoder of the vector kernels, written once over a lane type `L`
// that each instruction set provides (kernels/avx2.cpp: four 64-bit
// lanes; kernels/avx512.cpp: eight). Included by those files only,
// inside their target region and their own namespace, so every function here
// is compiled for that instruction set and nowhere else. No include guard for
// that reason, and no includes: the including file brings the intrinsics,
// platform.hpp and packed_numbers.hpp first.
//
// `L` provides, for one group of L::lanes numbers (each a 64-bit lane):
//   Words, Doubles, Mask, Floats, Int32s   vector and lane-mask types
//   words(v), bytes(v), zero()           broadcasts
//   bit_and, bit_or, bit_xor, and_not(a, b) = ~a & b, add_bytes, add, sub,
//   shift_right<n>, shift_left<n>, shift_right_by(words, counts)
//   byte_sums(w)                         sum of the bytes of each lane
//   equal, not_equal, below(w, v)        lane comparisons (below: unsigned,
//                                        for values under 2^62) -> Mask
//   select(mask, if_false, if_true), increment_where(mask, w),
//   set_sign_where(mask, w)              top bit set in the lanes of `mask`
//   lane_bits(mask)                      bit i for lane i
//   pair_digits, quad_digits             maddubs and madd of the digit bytes
//   multiply_low_halves(a, b)            32 x 32 -> 64 bits per lane
//   as_doubles, as_words, sub_doubles, mul_doubles, inverse_power_of_ten(k)
//   to_floats(doubles), to_int32s(doubles), negate_where(mask, int32s),
//   blend_integer_lanes(int lanes, floats, int32s)
//   number_bytes(p)                      bit i: byte i of the 64 at p is no separator
//   any_above(w, v)                      whether a lane of w exceeds v
//   Gather<count>: gathers the groups of numbers (the eight bytes from their
//     first byte on, and their lengths) from the start and end masks:
//     group(g, head, lengths); tail(g), the eight bytes from their third on;
//     last_end()
//   store<count, narrow>(record, const Floats* groups, run)

namespace packed {

// Top bit set in every byte that is no digit. Byte values 0..9 after the xor
// are digits; adding 0x76 sets the top bit of every other byte below 0x80.
template <class L>
inline typename L::Words non_digit_bytes(typename L::Words text) {
    const typename L::Words values = L::bit_xor(text, L::bytes(0x30));
    return L::bit_and(L::bit_or(L::add_bytes(values, L::bytes(0x76)), values), L::bytes(0x80));
}

// The byte of each lane of `body` at `position` (0 where that is 8).
template <class L>
inline typename L::Words stop_byte(typename L::Words body, typename L::Words position) {
    return L::bit_and(L::shift_right_by(body, L::template shift_left<3>(position)), L::words(0xFF));
}

// Number of 0xFF bytes in each lane of a mask that holds a run of them from
// its lowest byte up.
template <class L>
inline typename L::Words run_length(typename L::Words mask) {
    return L::byte_sums(L::bit_and(mask, L::bytes(1)));
}

// The bytes of each lane below its lowest set top bit (`bits` holds top bits
// only), as 0xFF bytes; all bytes when there is none.
template <class L>
inline typename L::Words bytes_below_lowest(typename L::Words bits, typename L::Words& lowest) {
    lowest = L::bit_and(bits, L::sub(L::zero(), bits));
    return L::sub(L::template shift_right<7>(lowest), L::words(1));
}

// What the valuation needs of L::lanes numbers, found in their text.
template <class L>
struct LaneDigits {
    typename L::Mask negative;
    typename L::Mask has_point;
    typename L::Words integer_digits;
    // The digits with the point squeezed out, as values 0 to 9, left-aligned
    // in eight bytes and zero after the last: read as one eight-digit integer,
    // the number is that integer / 10^(8 - integer_digits), whatever the
    // count of its digits.
    typename L::Words digits;
    int refused;  // a bit per lane whose number is not its whole token, or has no digit
};

// Numbers of up to eight bytes, sign included, each given as the first eight
// bytes of its token (`head`, first byte in the lowest) and the token's length.
template <class L>
inline LaneDigits<L> short_numbers(typename L::Words head, typename L::Words token_length) {
    using Words = typename L::Words;
    LaneDigits<L> lane;
    lane.negative = L::equal(L::bit_and(head, L::words(0xFF)), L::words('-'));
    // The sign dropped, the byte moving in on top reads as a separator.
    const Words body =
        L::select(lane.negative, head,
                  L::bit_or(L::template shift_right<8>(head), L::words(std::int64_t{0x20} << 56)));
    const Words stops = non_digit_bytes<L>(body);
    Words first_stop;
    const Words integer_bytes = bytes_below_lowest<L>(stops, first_stop);
    Words second_stop;
    const Words point_bytes = bytes_below_lowest<L>(L::bit_xor(stops, first_stop), second_stop);
    lane.integer_digits = run_length<L>(integer_bytes);
    lane.has_point = L::equal(stop_byte<L>(body, lane.integer_digits), L::words('.'));
    const Words squeezed = L::bit_or(L::bit_and(body, integer_bytes),
                                     L::and_not(integer_bytes, L::template shift_right<8>(body)));
    const Words digit_bytes =
        L::select(lane.has_point, integer_bytes, L::template shift_right<8>(point_bytes));
    lane.digits = L::bit_and(L::bit_xor(squeezed, L::bytes(0x30)), digit_bytes);
    const Words number_length = L::increment_where(
        lane.negative, L::select(lane.has_point, lane.integer_digits, run_length<L>(point_bytes)));
    lane.refused = L::lane_bits(L::not_equal(number_length, token_length)) |
                   L::lane_bits(L::equal(run_length<L>(digit_bytes), L::zero()));
    return lane;
}

// Numbers of up to eight digits with a sign and a point, up to ten bytes
// ("-12.345678", as "%.8g" writes them): `tail` holds the eight bytes from
// each token's third byte on.
template <class L>
inline LaneDigits<L> long_numbers(typename L::Words head, typename L::Words tail,
                                  typename L::Words token_length) {
    using Words = typename L::Words;
    LaneDigits<L> lane;
    lane.negative = L::equal(L::bit_and(head, L::words(0xFF)), L::words('-'));
    // The eight bytes from the token's second byte on.
    const Words second =
        L::bit_or(L::template shift_right<8>(head),
                  L::bit_and(L::template shift_left<8>(tail), L::words(-(std::int64_t{1} << 56))));
    // The number without its sign, and the same one byte on.
    const Words body = L::select(lane.negative, head, second);
    const Words body_after = L::select(lane.negative, second, tail);
    Words first_stop;
    const Words integer_bytes = bytes_below_lowest<L>(non_digit_bytes<L>(body), first_stop);
    lane.integer_digits = run_length<L>(integer_bytes);
    lane.has_point = L::equal(stop_byte<L>(body, lane.integer_digits), L::words('.'));
    const Words squeezed =
        L::bit_or(L::bit_and(body, integer_bytes),
                  L::and_not(integer_bytes, L::select(lane.has_point, body, body_after)));
    Words digits_stop;
    const Words digit_bytes = bytes_below_lowest<L>(non_digit_bytes<L>(squeezed), digits_stop);
    const Words digit_count = run_length<L>(digit_bytes);
    lane.digits = L::bit_and(L::bit_xor(squeezed, L::bytes(0x30)), digit_bytes);
    // A ninth digit would leave the token longer than the number.
    const Words number_length =
        L::increment_where(lane.negative, L::increment_where(lane.has_point, digit_count));
    lane.refused = L::lane_bits(L::not_equal(number_length, token_length)) |
                   L::lane_bits(L::equal(digit_count, L::zero()));
    return lane;
}

// The numbers of `lane` as binary32 values, sign included, or in the lanes
// marked in `integer_lanes` as 32-bit integers. Returns a bit per lane whose
// value cannot be taken.
template <class L, bool with_integers>
inline int value_numbers(const LaneDigits<L>& lane, int integer_lanes, int unsigned_lanes,
                         typename L::Floats& values) {
    using Words = typename L::Words;
    const typename L::Mask negative = lane.negative;
    const typename L::Mask has_point = lane.has_point;
    const Words quads = L::quad_digits(L::pair_digits(lane.digits));
    const Words eight_digits =
        L::add(L::multiply_low_halves(quads, L::words(10000)), L::template shift_right<32>(quads));
    int refused = lane.refused;

    // Below 2^52 the digits convert exactly through the bits of 2^52 + value.
    const Words two_52 = L::words(0x4330000000000000);
    const typename L::Doubles exact =
        L::sub_doubles(L::as_doubles(L::bit_or(eight_digits, two_52)), L::as_doubles(two_52));
    const typename L::Doubles rounded =
        L::mul_doubles(exact, L::inverse_power_of_ten(L::sub(L::words(8), lane.integer_digits)));
    // As in the scalar decoder: the product lies within 2 units of the last
    // place of the exact quotient, so unless it lies within 4 units of a
    // binary32 halfway point it rounds to binary32 as the decimal does.
    const Words dropped =
        L::sub(L::bit_and(L::as_words(rounded), L::words((1 << 29) - 1)), L::words((1 << 28) - 4));
    const int near_halfway = L::lane_bits(L::below(dropped, L::words(9)));
    // Integers are exact whatever the halfway points.
    refused |= with_integers ? near_halfway & ~integer_lanes : near_halfway;

    values = L::to_floats(L::as_doubles(L::set_sign_where(negative, L::as_words(rounded))));
    if constexpr (with_integers) {
        // Integers have no point, unsigned ones no sign: the scalar decoder
        // reads neither into the element, so it decodes such a run. The
        // product lies within 10^8 * 2^-52 of the integer, so rounding it to
        // the nearest gives it.
        refused |=
            (L::lane_bits(has_point) | (L::lane_bits(negative) & unsigned_lanes)) & integer_lanes;
        const typename L::Int32s integers = L::negate_where(negative, L::to_int32s(rounded));
        values = L::blend_integer_lanes(integer_lanes, values, integers);
    }
    return refused;
}

// The run decoder for a fixed count, so that each count has its own unrolled copy.
template <class L, int count, bool with_integers, bool narrow>
inline const char* decode_run(const char* p, const PackedElements& run, std::uint8_t* record) {
    const std::uint64_t in_number = L::number_bytes(p);
    const std::uint64_t starts = in_number & ~(in_number << 1);
    const std::uint64_t ends = ~in_number & (in_number << 1);  // the separator after each number
    if (platform::set_bit_count(ends) < count) return nullptr;

    constexpr int groups = (count + L::lanes - 1) / L::lanes;
    typename L::template Gather<count> gather(p, starts, ends);
    typename L::Floats values[groups];
    int refused = 0;
    for (int g = 0; g < groups; ++g) {
        typename L::Words head;
        typename L::Words lengths;
        gather.group(g, head, lengths);
        // Longer numbers cost more work, which text of short ones is spared.
        const LaneDigits<L> lane = L::any_above(lengths, 8)
                                       ? long_numbers<L>(head, gather.tail(g), lengths)
                                       : short_numbers<L>(head, lengths);
        refused |= value_numbers<L, with_integers>(lane, run.integer_lanes >> (g * L::lanes),
                                                   run.unsigned_lanes >> (g * L::lanes), values[g])
                   << (g * L::lanes);
    }
    if ((refused & ((1 << count) - 1)) != 0) return nullptr;
    L::template store<count, narrow>(record, values, run);
    return p + gather.last_end();
}

template <class L, bool with_integers, bool narrow>
const char* decode_counted(const char* p, const PackedElements& run, std::uint8_t* record) {
    switch (run.count) {
        case 1: return decode_run<L, 1, with_integers, narrow>(p, run, record);
        case 2: return decode_run<L, 2, with_integers, narrow>(p, run, record);
        case 3: return decode_run<L, 3, with_integers, narrow>(p, run, record);
        case 4: return decode_run<L, 4, with_integers, narrow>(p, run, record);
        case 5: return decode_run<L, 5, with_integers, narrow>(p, run, record);
        case 6: return decode_run<L, 6, with_integers, narrow>(p, run, record);
        case 7: return decode_run<L, 7, with_integers, narrow>(p, run, record);
        default: return decode_run<L, 8, with_integers, narrow>(p, run, record);
    }
}

// A PackedDecoder over `L`. Integers of one or two bytes need a kernel that
// can lay out its lanes (L::narrow_stores); others give such runs up.
template <class L>
const char* decode_packed_numbers(const char* p, const PackedElements& run, std::uint8_t* record) {
    if (run.bytes != 4 * run.count) {
        if constexpr (L::narrow_stores) return decode_counted<L, true, true>(p, run, record);
        return nullptr;
    }
    if (run.integer_lanes != 0) return decode_counted<L, true, false>(p, run, record);
    return decode_counted<L, false, false>(p, run, record);
}

}  // namespace packed
