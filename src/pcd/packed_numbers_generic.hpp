// The run decoder of the vector kernels, written once over a lane type `L`
// that each instruction set provides (packed_numbers_avx2.cpp: four 64-bit
// lanes; packed_numbers_avx512.cpp: eight). Included by those files only,
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
//   Gather<count>: gathers the groups of numbers (the eight bytes from their
//     first and from their third byte on, and their lengths) from the start
//     and end masks; group(g, head, tail, lengths);
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

// L::lanes numbers, each as the first eight bytes of its token (`head`, first
// byte in the lowest), the eight bytes from its third byte on (`tail`) and
// the token's length. Gives their binary32 values, sign included, or in the
// lanes marked in `integer_lanes` their 32-bit integers, and returns a bit per
// lane whose value cannot be taken. Numbers of up to eight digits are taken,
// with a sign and a point: up to ten bytes ("-12.345678", as "%.8g" writes).
template <class L, bool with_integers>
inline int value_numbers(typename L::Words head, typename L::Words tail,
                         typename L::Words token_length, int integer_lanes, int unsigned_lanes,
                         typename L::Floats& values) {
    using Words = typename L::Words;
    using Mask = typename L::Mask;
    const Words low_byte = L::words(0xFF);
    const Mask negative = L::equal(L::bit_and(head, low_byte), L::words('-'));
    // The eight bytes from the token's second byte on.
    const Words second =
        L::bit_or(L::template shift_right<8>(head),
                  L::bit_and(L::template shift_left<8>(tail), L::words(-(std::int64_t{1} << 56))));
    // The number without its sign, and the same one byte on.
    const Words body = L::select(negative, head, second);
    const Words body_after = L::select(negative, second, tail);

    Words first_stop;
    const Words integer_bytes = bytes_below_lowest<L>(non_digit_bytes<L>(body), first_stop);
    const Words integer_digits = run_length<L>(integer_bytes);
    const Words first_stop_byte =
        L::bit_and(L::shift_right_by(body, L::template shift_left<3>(integer_digits)), low_byte);
    const Mask has_point = L::equal(first_stop_byte, L::words('.'));

    // The digits with the point squeezed out, left-aligned in eight bytes and
    // zero after the last, read as one eight-digit integer: the number is that
    // integer / 10^(8 - integer_digits), whatever the count of its digits.
    const Words squeezed =
        L::bit_or(L::bit_and(body, integer_bytes),
                  L::and_not(integer_bytes, L::select(has_point, body, body_after)));
    Words digits_stop;
    const Words digit_bytes = bytes_below_lowest<L>(non_digit_bytes<L>(squeezed), digits_stop);
    const Words digit_count = run_length<L>(digit_bytes);
    const Words digits = L::bit_and(L::bit_xor(squeezed, L::bytes(0x30)), digit_bytes);
    const Words quads = L::quad_digits(L::pair_digits(digits));
    const Words eight_digits =
        L::add(L::multiply_low_halves(quads, L::words(10000)), L::template shift_right<32>(quads));

    // Taken only when the number is the whole token and has a digit: a ninth
    // digit would leave the token longer than the number.
    const Words number_length =
        L::increment_where(negative, L::increment_where(has_point, digit_count));
    int refused = L::lane_bits(L::not_equal(number_length, token_length)) |
                  L::lane_bits(L::equal(digit_count, L::zero()));

    // Below 2^52 the digits convert exactly through the bits of 2^52 + value.
    const Words two_52 = L::words(0x4330000000000000);
    const typename L::Doubles exact =
        L::sub_doubles(L::as_doubles(L::bit_or(eight_digits, two_52)), L::as_doubles(two_52));
    const typename L::Doubles rounded =
        L::mul_doubles(exact, L::inverse_power_of_ten(L::sub(L::words(8), integer_digits)));
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
        typename L::Words tail;
        typename L::Words lengths;
        gather.group(g, head, tail, lengths);
        refused |= value_numbers<L, with_integers>(head, tail, lengths,
                                                   run.integer_lanes >> (g * L::lanes),
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
