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
//                                        for v under 2^63) -> Mask
//   select(mask, if_false, if_true), increment_where(mask, w),
//   set_sign_where(mask, w)              top bit set in the lanes of `mask`
//   lane_bits(mask)                      bit i for lane i
//   pair_digits, quad_digits             maddubs and madd of the digit bytes
//   multiply_low_halves(a, b)            32 x 32 -> 64 bits per lane
//   as_doubles, as_words, add_doubles, sub_doubles, mul_doubles,
//   inverse_power_of_ten(k)
//   to_floats(doubles), to_int32s(doubles), negate_where(mask, int32s),
//   blend_integer_lanes(int lanes, floats, int32s)
//   number_bytes(p)                      bit i: byte i of the 64 at p is no separator
//   any_above(w, v)                      whether a lane of w exceeds v
//   Gather<count>: gathers the groups of numbers (the eight bytes from their
//     first byte on, and their lengths) from the start and end masks:
//     group(g, head, lengths); tail(g), the eight bytes from their third on;
//     rest(g), the eight bytes from their ninth on; last_end()
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

// The same over sixteen bytes held as two words: a run that fills `low`
// (`goes_on`) goes on in `high`, whose bytes are otherwise none.
template <class L>
inline typename L::Words bytes_below_lowest_of_two(typename L::Words low_bits,
                                                   typename L::Words high_bits,
                                                   typename L::Words& high_bytes,
                                                   typename L::Mask& goes_on) {
    typename L::Words low_stop;
    const typename L::Words low_bytes = bytes_below_lowest<L>(low_bits, low_stop);
    goes_on = L::equal(low_stop, L::zero());
    typename L::Words high_stop;
    high_bytes = L::select(goes_on, L::zero(), bytes_below_lowest<L>(high_bits, high_stop));
    return low_bytes;
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

// Numbers of up to fifteen digits with a sign and a point, up to sixteen
// bytes ("-12.3456783", "123.000000", "0.036241516"): `rest` holds the eight
// bytes from each token's ninth byte on. The digits, the point squeezed out,
// are left-aligned in sixteen bytes, the first eight in `digits` and the
// rest in `digits_rest`; read as one sixteen-digit integer the number is that
// integer / 10^(16 - integer_digits).
template <class L>
inline LaneDigits<L> wide_numbers(typename L::Words head, typename L::Words rest,
                                  typename L::Words token_length, typename L::Words& digits_rest) {
    using Words = typename L::Words;
    LaneDigits<L> lane;
    lane.negative = L::equal(L::bit_and(head, L::words(0xFF)), L::words('-'));
    // The sixteen bytes without the sign in two words, and each one byte on;
    // the byte past the sixteenth reads as a separator.
    const Words top_separator = L::words(std::int64_t{0x20} << 56);
    const Words first_after_sign =
        L::bit_or(L::template shift_right<8>(head), L::template shift_left<56>(rest));
    const Words second_after_sign = L::bit_or(L::template shift_right<8>(rest), top_separator);
    const Words body = L::select(lane.negative, head, first_after_sign);
    const Words body_rest = L::select(lane.negative, rest, second_after_sign);
    const Words body_after =
        L::bit_or(L::template shift_right<8>(body), L::template shift_left<56>(body_rest));
    const Words body_rest_after = L::bit_or(L::template shift_right<8>(body_rest), top_separator);

    // The integer digits, running into the second word when the first holds
    // no stop.
    typename L::Mask integer_goes_on;
    Words integer_rest_bytes;
    const Words integer_bytes =
        bytes_below_lowest_of_two<L>(non_digit_bytes<L>(body), non_digit_bytes<L>(body_rest),
                                     integer_rest_bytes, integer_goes_on);
    const Words integer_count = run_length<L>(integer_bytes);
    const Words integer_rest_count = run_length<L>(integer_rest_bytes);
    lane.integer_digits = L::add(integer_count, integer_rest_count);
    const Words stop = L::select(integer_goes_on, stop_byte<L>(body, integer_count),
                                 stop_byte<L>(body_rest, integer_rest_count));
    lane.has_point = L::equal(stop, L::words('.'));

    const Words squeezed =
        L::bit_or(L::bit_and(body, integer_bytes),
                  L::and_not(integer_bytes, L::select(lane.has_point, body, body_after)));
    const Words squeezed_rest = L::bit_or(
        L::bit_and(body_rest, integer_rest_bytes),
        L::and_not(integer_rest_bytes, L::select(lane.has_point, body_rest, body_rest_after)));
    typename L::Mask digits_go_on;
    Words digit_rest_bytes;
    const Words digit_bytes = bytes_below_lowest_of_two<L>(non_digit_bytes<L>(squeezed),
                                                           non_digit_bytes<L>(squeezed_rest),
                                                           digit_rest_bytes, digits_go_on);
    const Words digit_count = L::add(run_length<L>(digit_bytes), run_length<L>(digit_rest_bytes));
    lane.digits = L::bit_and(L::bit_xor(squeezed, L::bytes(0x30)), digit_bytes);
    digits_rest = L::bit_and(L::bit_xor(squeezed_rest, L::bytes(0x30)), digit_rest_bytes);
    // A sixteenth digit would make the integer inexact as a double; with no
    // integer digit, the scale 10^-16 would be past the table of sixteen.
    const Words number_length =
        L::increment_where(lane.negative, L::increment_where(lane.has_point, digit_count));
    lane.refused = L::lane_bits(L::not_equal(number_length, token_length)) |
                   L::lane_bits(L::below(L::words(15), digit_count)) |
                   L::lane_bits(L::equal(lane.integer_digits, L::zero()));
    return lane;
}

// The eight digit values of each lane (first in the lowest byte, zero after
// the last) as an eight-digit integer, exactly as a double: below 2^52 an
// integer converts through the bits of 2^52 + value.
template <class L>
inline typename L::Doubles eight_digit_value(typename L::Words digits) {
    using Words = typename L::Words;
    const Words quads = L::quad_digits(L::pair_digits(digits));
    const Words eight_digits =
        L::add(L::multiply_low_halves(quads, L::words(10000)), L::template shift_right<32>(quads));
    const Words two_52 = L::words(0x4330000000000000);
    return L::sub_doubles(L::as_doubles(L::bit_or(eight_digits, two_52)), L::as_doubles(two_52));
}

// The numbers of `lane` as binary32 values, sign included, or in the lanes
// marked in `integer_lanes` as 32-bit integers. Returns a bit per lane whose
// value cannot be taken. `wide`: the lanes come from wide_numbers, with the
// digits after the first eight in `digits_rest`.
template <class L, bool with_integers, bool wide>
inline int value_numbers(const LaneDigits<L>& lane, typename L::Words digits_rest,
                         int integer_lanes, int unsigned_lanes, typename L::Floats& values) {
    using Words = typename L::Words;
    const typename L::Mask negative = lane.negative;
    const typename L::Mask has_point = lane.has_point;
    int refused = lane.refused;

    typename L::Doubles exact = eight_digit_value<L>(lane.digits);
    Words scale = L::sub(L::words(8), lane.integer_digits);
    if constexpr (wide) {
        // Up to fifteen digits d left-aligned in sixteen: d * 10^(16 - n) for
        // n digits, which is 2^(16 - n) times d * 5^(16 - n) < 2^n * 5^16 <=
        // 2^53, so a double holds it, and the product by 10^8 (exact, below
        // 2^53 after its 2^8) and the sum are exact.
        const Words ten_to_8 = L::words(0x4197D78400000000);  // the bits of 1e8
        exact = L::add_doubles(L::mul_doubles(exact, L::as_doubles(ten_to_8)),
                               eight_digit_value<L>(digits_rest));
        scale = L::sub(L::words(16), lane.integer_digits);
    }
    const typename L::Doubles rounded = L::mul_doubles(exact, L::inverse_power_of_ten(scale));
    // As in the scalar decoder: the digits are exact, the power of ten and
    // the product each rounded once, so the product lies within 2 units of
    // the last place of the exact quotient; unless it lies within 4 units of
    // a binary32 halfway point it rounds to binary32 as the decimal does.
    const Words dropped =
        L::sub(L::bit_and(L::as_words(rounded), L::words((1 << 29) - 1)), L::words((1 << 28) - 4));
    const int near_halfway = L::lane_bits(L::below(dropped, L::words(9)));
    // Integers are exact whatever the halfway points.
    refused |= with_integers ? near_halfway & ~integer_lanes : near_halfway;

    values = L::to_floats(L::as_doubles(L::set_sign_where(negative, L::as_words(rounded))));
    if constexpr (with_integers) {
        // Integers have no point, unsigned ones no sign: the scalar decoder
        // reads neither into the element, so it decodes such a run. Below
        // 2^31 the product lies within 2^-20 of the integer, so rounding it
        // to the nearest gives it.
        refused |=
            (L::lane_bits(has_point) | (L::lane_bits(negative) & unsigned_lanes)) & integer_lanes;
        if constexpr (wide) {
            // Ten digits may reach 2^31, past a 32-bit lane: the scalar
            // decoder stores those (modulo 2^32).
            const Words largest_below_2_31 = L::words(0x41DFFFFFFFFFFFFF);
            refused |=
                L::lane_bits(L::below(largest_below_2_31, L::as_words(rounded))) & integer_lanes;
        }
        const typename L::Int32s integers = L::negate_where(negative, L::to_int32s(rounded));
        values = L::blend_integer_lanes(integer_lanes, values, integers);
    }
    return refused;
}

// The values of group `g` of L::lanes numbers, by the tier their lengths
// call for; returns a bit per lane refused (lanes past the run's count may
// hold anything).
template <class L, int count, bool with_integers>
inline int value_group(typename L::template Gather<count>& gather, int g, int integer_lanes,
                       int unsigned_lanes, typename L::Floats& values) {
    typename L::Words head;
    typename L::Words lengths;
    gather.group(g, head, lengths);
    // Longer numbers cost more work, which text of short ones is spared.
    if (!L::any_above(lengths, 8)) {
        return value_numbers<L, with_integers, false>(short_numbers<L>(head, lengths), L::zero(),
                                                      integer_lanes, unsigned_lanes, values);
    }
    // A ten-byte token without a sign holds nine digits or more, which the
    // long tier would only refuse ("123.000000").
    const int unsigned_ten_bytes =
        L::lane_bits(L::equal(lengths, L::words(10))) &
        ~L::lane_bits(L::equal(L::bit_and(head, L::words(0xFF)), L::words('-')));
    if (!L::any_above(lengths, 10) && unsigned_ten_bytes == 0) {
        const int refused = value_numbers<L, with_integers, false>(
            long_numbers<L>(head, gather.tail(g), lengths), L::zero(), integer_lanes,
            unsigned_lanes, values);
        // Nine bytes may hold nine digits too ("123456789").
        if ((refused & (((1 << count) - 1) >> (g * L::lanes))) == 0) return 0;
    }
    typename L::Words digits_rest;
    const LaneDigits<L> lane = wide_numbers<L>(head, gather.rest(g), lengths, digits_rest);
    return value_numbers<L, with_integers, true>(lane, digits_rest, integer_lanes, unsigned_lanes,
                                                 values);
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
        refused |=
            value_group<L, count, with_integers>(gather, g, run.integer_lanes >> (g * L::lanes),
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
