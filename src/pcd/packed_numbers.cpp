#include "pcd/packed_numbers.hpp"

#include "pcd/decimal_text.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define PCD_VECTOR_RECORDS 1
#else
#define PCD_VECTOR_RECORDS 0
#endif

// Builds configured without the AVX-512 decoder leave it out entirely.
#if PCD_VECTOR_RECORDS && !defined(PCD_NO_AVX512)
#define PCD_AVX512_RECORDS 1
#else
#define PCD_AVX512_RECORDS 0
#endif

// GCC 12's AVX-512 headers start some intrinsics from deliberately undefined
// registers, which -Wmaybe-uninitialized reports where they are inlined.
#if PCD_AVX512_RECORDS && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace pcd {

#if PCD_VECTOR_RECORDS

PackedNumbers packed_numbers_support() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) return PackedNumbers::none;
#if PCD_AVX512_RECORDS
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2"))
        return PackedNumbers::avx512;
#endif
    return PackedNumbers::avx2;
}

namespace {

#define PCD_AVX2 __attribute__((target("avx2")))

PCD_AVX2 inline __m256i bytes_of(std::int64_t v) { return _mm256_set1_epi64x(v); }

// Number of 0xFF bytes in each lane of a mask that holds a run of them from
// its lowest byte up.
PCD_AVX2 inline __m256i run_length(__m256i mask) {
    return _mm256_sad_epu8(_mm256_and_si256(mask, _mm256_set1_epi8(1)), _mm256_setzero_si256());
}

// The bytes of each lane below its lowest set top bit (`bits` holds top bits
// only), as 0xFF bytes; all bytes when there is none.
PCD_AVX2 inline __m256i bytes_below_lowest(__m256i bits, __m256i& lowest) {
    lowest = _mm256_and_si256(bits, _mm256_sub_epi64(_mm256_setzero_si256(), bits));
    return _mm256_sub_epi64(_mm256_srli_epi64(lowest, 7), bytes_of(1));
}

// Four numbers, each as the first eight bytes of its token (first byte in the
// lowest) and the token's length. Gives their binary32 values, sign included,
// or in the lanes marked in `integer_lanes` their 32-bit integers, and
// returns a bit per lane that the values of cannot be taken.
template <bool with_integers>
PCD_AVX2 inline int four_numbers(__m256i text, __m256i token_length, int integer_lanes,
                                 int unsigned_lanes, __m128& values) {
    const __m256i low_byte = bytes_of(0xFF);
    const __m256i negative = _mm256_cmpeq_epi64(_mm256_and_si256(text, low_byte), bytes_of('-'));
    // The sign dropped, the byte moving in on top reads as a separator.
    const __m256i unsigned_text =
        _mm256_or_si256(_mm256_srli_epi64(text, 8), bytes_of(0x20LL << 56));
    const __m256i body = _mm256_blendv_epi8(text, unsigned_text, negative);

    // Top bit set in every byte that is no digit (the stops).
    const __m256i values_of = _mm256_xor_si256(body, _mm256_set1_epi8(0x30));
    const __m256i stops = _mm256_and_si256(
        _mm256_or_si256(_mm256_add_epi8(values_of, _mm256_set1_epi8(0x76)), values_of),
        _mm256_set1_epi8(static_cast<char>(0x80)));
    __m256i first_stop;
    const __m256i integer_bytes = bytes_below_lowest(stops, first_stop);
    __m256i second_stop;
    const __m256i point_bytes =
        bytes_below_lowest(_mm256_xor_si256(stops, first_stop), second_stop);
    const __m256i integer_digits = run_length(integer_bytes);
    const __m256i first_stop_byte =
        _mm256_and_si256(_mm256_srlv_epi64(body, _mm256_slli_epi64(integer_digits, 3)), low_byte);
    const __m256i has_point = _mm256_cmpeq_epi64(first_stop_byte, bytes_of('.'));

    // The digits with the point squeezed out, left-aligned in eight bytes and
    // zero after the last, read as one eight-digit integer: the number is that
    // integer / 10^(8 - integer_digits), whatever the count of its digits.
    const __m256i squeezed =
        _mm256_or_si256(_mm256_and_si256(body, integer_bytes),
                        _mm256_andnot_si256(integer_bytes, _mm256_srli_epi64(body, 8)));
    const __m256i digit_bytes =
        _mm256_blendv_epi8(integer_bytes, _mm256_srli_epi64(point_bytes, 8), has_point);
    const __m256i digits =
        _mm256_and_si256(_mm256_xor_si256(squeezed, _mm256_set1_epi8(0x30)), digit_bytes);
    const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010A));
    const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    const __m256i eight_digits =
        _mm256_add_epi64(_mm256_mul_epu32(quads, bytes_of(10000)), _mm256_srli_epi64(quads, 32));

    // Taken only when the number is the whole token and has a digit.
    const __m256i number_length = _mm256_sub_epi64(
        _mm256_blendv_epi8(integer_digits, run_length(point_bytes), has_point), negative);
    const __m256i digit_count = run_length(digit_bytes);
    __m256i refused =
        _mm256_xor_si256(_mm256_cmpeq_epi64(number_length, token_length), _mm256_set1_epi64x(-1));
    refused = _mm256_or_si256(refused, _mm256_cmpeq_epi64(digit_count, _mm256_setzero_si256()));

    // Below 2^52 the digits convert exactly through the bits of 2^52 + value.
    const __m256i two_52 = bytes_of(0x4330000000000000LL);
    const __m256d exact = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(eight_digits, two_52)),
                                        _mm256_castsi256_pd(two_52));
    const __m256d scale = _mm256_i64gather_pd(inverse_powers_of_ten,
                                              _mm256_sub_epi64(bytes_of(8), integer_digits), 8);
    const __m256d rounded = _mm256_mul_pd(exact, scale);
    // As in the scalar decoder: the product lies within 2 units of the last
    // place of the exact quotient, so unless it lies within 4 units of a
    // binary32 halfway point it rounds to binary32 as the decimal does.
    const __m256i dropped =
        _mm256_sub_epi64(_mm256_and_si256(_mm256_castpd_si256(rounded), bytes_of((1LL << 29) - 1)),
                         bytes_of((1LL << 28) - 4));
    const __m256i near_halfway =
        _mm256_andnot_si256(_mm256_cmpgt_epi64(_mm256_setzero_si256(), dropped),
                            _mm256_cmpgt_epi64(bytes_of(9), dropped));
    // Integers are exact whatever the halfway points.
    int refused_lanes =
        with_integers
            ? _mm256_movemask_pd(_mm256_castsi256_pd(refused)) |
                  (_mm256_movemask_pd(_mm256_castsi256_pd(near_halfway)) & ~integer_lanes)
            : _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_or_si256(refused, near_halfway)));

    const __m128i negative_lanes = _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(negative, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    values =
        _mm_or_ps(_mm256_cvtpd_ps(rounded), _mm_castsi128_ps(_mm_slli_epi32(negative_lanes, 31)));
    if (with_integers) {
        // Integers have no point, unsigned ones no sign: the scalar decoder
        // reads neither into the element, so it decodes such a run. The
        // product lies within 10^8 * 2^-52 of the integer, so rounding it to
        // the nearest gives it.
        refused_lanes |= (_mm256_movemask_pd(_mm256_castsi256_pd(has_point)) |
                          (_mm256_movemask_pd(_mm256_castsi256_pd(negative)) & unsigned_lanes)) &
                         integer_lanes;
        const __m128i magnitudes = _mm256_cvtpd_epi32(rounded);
        const __m128i integers =
            _mm_sub_epi32(_mm_xor_si128(magnitudes, negative_lanes), negative_lanes);
        const __m128i lane_bits = _mm_setr_epi32(1, 2, 4, 8);
        const __m128i is_integer =
            _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(integer_lanes), lane_bits), lane_bits);
        values = _mm_blendv_ps(values, _mm_castsi128_ps(integers), _mm_castsi128_ps(is_integer));
    }
    return refused_lanes;
}

// Top bit of every byte of the 64 at `p` that is no separator, as a bit each.
PCD_AVX2 inline std::uint64_t number_bytes(const char* p) {
    const __m256i space = _mm256_set1_epi8(32);
    const auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpgt_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), space)));
    const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpgt_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), space)));
    return low | (std::uint64_t{high} << 32);
}

// The first eight bytes of four numbers and their lengths, taken from the
// masks of number starts and ends in the 64 bytes at `p`; `count` (1 to 4)
// numbers are there, lanes beyond repeat the first. Leaves `last_end` at the
// end of the last number taken.
template <int count>
PCD_AVX2 inline void next_four(const char* p, std::uint64_t& starts, std::uint64_t& ends,
                               __m256i& text, __m256i& lengths, int& last_end) {
    std::int64_t bytes[4];
    std::int64_t length[4];
    for (int i = 0; i < 4; ++i) {
        if (i < count) {
            const int start = __builtin_ctzll(starts);
            last_end = __builtin_ctzll(ends);
            starts &= starts - 1;
            ends &= ends - 1;
            bytes[i] = static_cast<std::int64_t>(load_eight(p + start));
            length[i] = last_end - start;
        } else {
            bytes[i] = bytes[0];
            length[i] = length[0];
        }
    }
    // Built in registers: a vector load of just-stored words would wait for the stores.
    text = _mm256_set_epi64x(bytes[3], bytes[2], bytes[1], bytes[0]);
    lengths = _mm256_set_epi64x(length[3], length[2], length[1], length[0]);
}

// decode_packed_numbers for a fixed count, so that its loops unroll.
template <int count, bool with_integers>
PCD_AVX2 const char* decode_run(const char* p, int integer_lanes, int unsigned_lanes,
                                std::uint8_t* record) {
    const std::uint64_t in_number = number_bytes(p);
    std::uint64_t starts = in_number & ~(in_number << 1);
    std::uint64_t ends = ~in_number & (in_number << 1);  // the separator after each number
    if (__builtin_popcountll(ends) < count) return nullptr;

    int last_end = 0;
    __m256i text;
    __m256i lengths;
    next_four<(count < 4 ? count : 4)>(p, starts, ends, text, lengths, last_end);
    __m128 low_values;
    int refused = four_numbers<with_integers>(text, lengths, integer_lanes & 15,
                                              unsigned_lanes & 15, low_values);
    __m128 high_values = _mm_setzero_ps();
    if (count > 4) {
        next_four<(count > 4 ? count - 4 : 1)>(p, starts, ends, text, lengths, last_end);
        refused |= four_numbers<with_integers>(text, lengths, integer_lanes >> 4,
                                               unsigned_lanes >> 4, high_values)
                   << 4;
    }
    if ((refused & ((1 << count) - 1)) != 0) return nullptr;

    float* const out = reinterpret_cast<float*>(record);
    if (count == 4) {
        _mm_storeu_ps(out, low_values);
    } else if (count == 8) {
        _mm256_storeu_ps(out, _mm256_set_m128(high_values, low_values));
    } else {
        const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        _mm256_maskstore_ps(out, _mm256_cmpgt_epi32(_mm256_set1_epi32(count), lanes),
                            _mm256_set_m128(high_values, low_values));
    }
    return p + last_end;
}

#if PCD_AVX512_RECORDS

// AVX-512: eight numbers at a time. The numbers' places come from
// compressing the byte positions of their starts and ends, and their first
// eight bytes from one byte permutation of the text, without a scalar step
// per number.

#define PCD_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2")))

PCD_AVX512 inline __m512i lanes_of(std::int64_t v) { return _mm512_set1_epi64(v); }

// As run_length and bytes_below_lowest, eight lanes wide.
PCD_AVX512 inline __m512i run_length_512(__m512i mask) {
    return _mm512_sad_epu8(_mm512_and_si512(mask, _mm512_set1_epi8(1)), _mm512_setzero_si512());
}

PCD_AVX512 inline __m512i bytes_below_lowest_512(__m512i bits, __m512i& lowest) {
    lowest = _mm512_and_si512(bits, _mm512_sub_epi64(_mm512_setzero_si512(), bits));
    return _mm512_sub_epi64(_mm512_srli_epi64(lowest, 7), lanes_of(1));
}

// four_numbers for eight lanes, step for step; the lane masks are mask registers.
template <bool with_integers>
PCD_AVX512 inline __mmask8 eight_numbers(__m512i text, __m512i token_length, __mmask8 integer_lanes,
                                         __mmask8 unsigned_lanes, __m256& values) {
    const __m512i low_byte = lanes_of(0xFF);
    const __mmask8 negative =
        _mm512_cmpeq_epi64_mask(_mm512_and_si512(text, low_byte), lanes_of('-'));
    const __m512i body = _mm512_mask_blend_epi64(
        negative, text, _mm512_or_si512(_mm512_srli_epi64(text, 8), lanes_of(0x20LL << 56)));

    const __m512i values_of = _mm512_xor_si512(body, _mm512_set1_epi8(0x30));
    const __m512i stops = _mm512_and_si512(
        _mm512_or_si512(_mm512_add_epi8(values_of, _mm512_set1_epi8(0x76)), values_of),
        _mm512_set1_epi8(static_cast<char>(0x80)));
    __m512i first_stop;
    const __m512i integer_bytes = bytes_below_lowest_512(stops, first_stop);
    __m512i second_stop;
    const __m512i point_bytes =
        bytes_below_lowest_512(_mm512_xor_si512(stops, first_stop), second_stop);
    const __m512i integer_digits = run_length_512(integer_bytes);
    const __m512i first_stop_byte =
        _mm512_and_si512(_mm512_srlv_epi64(body, _mm512_slli_epi64(integer_digits, 3)), low_byte);
    const __mmask8 has_point = _mm512_cmpeq_epi64_mask(first_stop_byte, lanes_of('.'));

    const __m512i squeezed =
        _mm512_or_si512(_mm512_and_si512(body, integer_bytes),
                        _mm512_andnot_si512(integer_bytes, _mm512_srli_epi64(body, 8)));
    const __m512i digit_bytes =
        _mm512_mask_blend_epi64(has_point, integer_bytes, _mm512_srli_epi64(point_bytes, 8));
    const __m512i digits =
        _mm512_and_si512(_mm512_xor_si512(squeezed, _mm512_set1_epi8(0x30)), digit_bytes);
    const __m512i pairs = _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x010A));
    const __m512i quads = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00010064));
    const __m512i eight_digits =
        _mm512_add_epi64(_mm512_mul_epu32(quads, lanes_of(10000)), _mm512_srli_epi64(quads, 32));

    __m512i number_length =
        _mm512_mask_blend_epi64(has_point, integer_digits, run_length_512(point_bytes));
    number_length = _mm512_mask_add_epi64(number_length, negative, number_length, lanes_of(1));
    __mmask8 refused = _mm512_cmpneq_epi64_mask(number_length, token_length) |
                       _mm512_cmpeq_epi64_mask(run_length_512(digit_bytes), _mm512_setzero_si512());

    const __m512i two_52 = lanes_of(0x4330000000000000LL);
    const __m512d exact = _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(eight_digits, two_52)),
                                        _mm512_castsi512_pd(two_52));
    // 10^-(8 - integer_digits) from a table of sixteen in two registers.
    const __m512d rounded =
        _mm512_mul_pd(exact, _mm512_permutex2var_pd(_mm512_loadu_pd(inverse_powers_of_ten),
                                                    _mm512_sub_epi64(lanes_of(8), integer_digits),
                                                    _mm512_loadu_pd(inverse_powers_of_ten + 8)));
    const __m512i dropped =
        _mm512_sub_epi64(_mm512_and_si512(_mm512_castpd_si512(rounded), lanes_of((1LL << 29) - 1)),
                         lanes_of((1LL << 28) - 4));
    const __mmask8 near_halfway = _mm512_cmplt_epu64_mask(dropped, lanes_of(9));
    refused |= with_integers ? near_halfway & ~integer_lanes : near_halfway;

    values = _mm512_cvtpd_ps(_mm512_castsi512_pd(
        _mm512_mask_or_epi64(_mm512_castpd_si512(rounded), negative, _mm512_castpd_si512(rounded),
                             lanes_of(INT64_MIN))));
    if (with_integers) {
        refused |= (has_point | (negative & unsigned_lanes)) & integer_lanes;
        const __m256i magnitudes = _mm512_cvtpd_epi32(rounded);
        const __m256i integers =
            _mm256_mask_sub_epi32(magnitudes, negative, _mm256_setzero_si256(), magnitudes);
        values = _mm256_mask_blend_ps(integer_lanes, values, _mm256_castsi256_ps(integers));
    }
    return refused;
}

// decode_run with AVX-512; with `narrow`, some integers are one or two bytes
// and `sources` lays the lanes out in the record.
template <int count, bool with_integers, bool narrow>
PCD_AVX512 const char* decode_run_avx512(const char* p, const PackedElements& run,
                                         std::uint8_t* record) {
    const __m512i block = _mm512_loadu_si512(p);
    const std::uint64_t in_number = _mm512_cmpgt_epi8_mask(block, _mm512_set1_epi8(32));
    const std::uint64_t starts = in_number & ~(in_number << 1);
    const std::uint64_t ends = ~in_number & (in_number << 1);  // the separator after each number
    if (__builtin_popcountll(ends) < count) return nullptr;

    const __m512i positions = _mm512_set_epi8(
        63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
        40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
        17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m128i start_at = _mm512_castsi512_si128(_mm512_maskz_compress_epi8(starts, positions));
    const __m128i end_at = _mm512_castsi512_si128(_mm512_maskz_compress_epi8(ends, positions));
    // Byte k of lane i reads the text at the i-th start + k. The permutation
    // wraps past byte 63; such bytes only follow a number that ends inside
    // the block, after its separator, and never decide a number taken.
    const __m512i lane_of_byte = _mm512_set_epi64(
        0x0707070707070707, 0x0606060606060606, 0x0505050505050505, 0x0404040404040404,
        0x0303030303030303, 0x0202020202020202, 0x0101010101010101, 0);
    const __m512i index =
        _mm512_add_epi8(_mm512_permutexvar_epi8(lane_of_byte, _mm512_castsi128_si512(start_at)),
                        lanes_of(0x0706050403020100));
    __m256 values;
    const __mmask8 refused = eight_numbers<with_integers>(
        _mm512_permutexvar_epi8(index, block), _mm512_cvtepu8_epi64(_mm_sub_epi8(end_at, start_at)),
        static_cast<__mmask8>(run.integer_lanes), static_cast<__mmask8>(run.unsigned_lanes),
        values);
    constexpr auto taken = static_cast<__mmask8>((1u << count) - 1);
    if ((refused & taken) != 0) return nullptr;
    if constexpr (narrow) {
        // An integer's low bytes are its value modulo 2^(8 * size).
        const __m256i laid_out = _mm256_permutexvar_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(run.sources.data())),
            _mm256_castps_si256(values));
        _mm256_mask_storeu_epi8(record, _bzhi_u32(~0u, static_cast<unsigned>(run.bytes)), laid_out);
    } else {
        _mm256_mask_storeu_ps(reinterpret_cast<float*>(record), taken, values);
    }
    return p + __builtin_ctzll(_pdep_u64(std::uint64_t{1} << (count - 1), ends));
}

#endif  // PCD_AVX512_RECORDS

// The decoder for `count` numbers, so that each count has its own unrolled copy.
template <PackedNumbers with, int count, bool with_integers, bool narrow>
inline const char* decode_run_of(const char* p, const PackedElements& run, std::uint8_t* record) {
#if PCD_AVX512_RECORDS
    if constexpr (with == PackedNumbers::avx512) {
        return decode_run_avx512<count, with_integers, narrow>(p, run, record);
    } else
#endif
    {
        static_assert(!narrow, "only the AVX-512 decoder stores integers of one or two bytes");
        return decode_run<count, with_integers>(p, run.integer_lanes, run.unsigned_lanes, record);
    }
}

template <PackedNumbers with, bool with_integers, bool narrow = false>
const char* decode_counted(const char* p, const PackedElements& run, std::uint8_t* record) {
    switch (run.count) {
        case 1: return decode_run_of<with, 1, with_integers, narrow>(p, run, record);
        case 2: return decode_run_of<with, 2, with_integers, narrow>(p, run, record);
        case 3: return decode_run_of<with, 3, with_integers, narrow>(p, run, record);
        case 4: return decode_run_of<with, 4, with_integers, narrow>(p, run, record);
        case 5: return decode_run_of<with, 5, with_integers, narrow>(p, run, record);
        case 6: return decode_run_of<with, 6, with_integers, narrow>(p, run, record);
        case 7: return decode_run_of<with, 7, with_integers, narrow>(p, run, record);
        default: return decode_run_of<with, 8, with_integers, narrow>(p, run, record);
    }
}

template <PackedNumbers with>
const char* decode_with(const char* p, const PackedElements& run, std::uint8_t* record) {
    if (run.integer_lanes != 0) return decode_counted<with, true>(p, run, record);
    return decode_counted<with, false>(p, run, record);
}

}  // namespace

const char* decode_packed_numbers(PackedNumbers with, const char* p, const PackedElements& run,
                                  std::uint8_t* record) {
    const bool narrow = run.bytes != 4 * run.count;
#if PCD_AVX512_RECORDS
    if (with == PackedNumbers::avx512) {
        if (narrow) return decode_counted<PackedNumbers::avx512, true, true>(p, run, record);
        return decode_with<PackedNumbers::avx512>(p, run, record);
    }
#else
    (void)with;
#endif
    // The AVX2 decoder stores four-byte elements only.
    if (narrow) return nullptr;
    return decode_with<PackedNumbers::avx2>(p, run, record);
}

#else

PackedNumbers packed_numbers_support() { return PackedNumbers::none; }

const char* decode_packed_numbers(PackedNumbers, const char*, const PackedElements&,
                                  std::uint8_t*) {
    return nullptr;
}

#endif

}  // namespace pcd
