// The AVX2 kernel: the run decoder of packed_numbers_generic.hpp over four
// 64-bit lanes, the numbers' first bytes gathered one scalar load each.
// Built for x86-64 only; run only where the processor has every feature of
// its row in kernels.def (the registry sees to it).

#include <immintrin.h>

#include <cstdint>

#include "pcd/decimal_digits.hpp"
#include "pcd/decimal_rounding.hpp"
#include "pcd/kernels/registry.hpp"
#include "pcd/packed_numbers.hpp"
#include "pcd/platform.hpp"

// PCD_KERNEL_TARGET: this kernel's features in kernels.def, from the build.
PCD_TARGET_REGION_BEGIN(PCD_KERNEL_TARGET)

namespace pcd::avx2 {
namespace {

struct Lanes {
    static constexpr int lanes = 4;
    static constexpr bool narrow_stores = false;
    using Words = __m256i;
    using Doubles = __m256d;
    using Mask = __m256i;  // all ones in a lane that is set
    using Floats = __m128;
    using Int32s = __m128i;

    static Words words(std::int64_t v) { return _mm256_set1_epi64x(v); }
    static Words bytes(int v) { return _mm256_set1_epi8(static_cast<char>(v)); }
    static Words zero() { return _mm256_setzero_si256(); }
    static Words bit_and(Words a, Words b) { return _mm256_and_si256(a, b); }
    static Words bit_or(Words a, Words b) { return _mm256_or_si256(a, b); }
    static Words bit_xor(Words a, Words b) { return _mm256_xor_si256(a, b); }
    static Words and_not(Words a, Words b) { return _mm256_andnot_si256(a, b); }
    static Words add_bytes(Words a, Words b) { return _mm256_add_epi8(a, b); }
    static Words add(Words a, Words b) { return _mm256_add_epi64(a, b); }
    static Words sub(Words a, Words b) { return _mm256_sub_epi64(a, b); }
    template <int n>
    static Words shift_right(Words a) {
        return _mm256_srli_epi64(a, n);
    }
    template <int n>
    static Words shift_left(Words a) {
        return _mm256_slli_epi64(a, n);
    }
    static Words shift_right_by(Words a, Words counts) { return _mm256_srlv_epi64(a, counts); }
    static Words byte_sums(Words a) { return _mm256_sad_epu8(a, _mm256_setzero_si256()); }
    static Mask equal(Words a, Words b) { return _mm256_cmpeq_epi64(a, b); }
    static Mask not_equal(Words a, Words b) {
        return _mm256_xor_si256(_mm256_cmpeq_epi64(a, b), _mm256_set1_epi64x(-1));
    }
    // Signed comparisons give the unsigned one when b is below 2^63.
    static Mask below(Words a, Words b) {
        return _mm256_andnot_si256(_mm256_cmpgt_epi64(zero(), a), _mm256_cmpgt_epi64(b, a));
    }
    static Words select(Mask m, Words if_false, Words if_true) {
        return _mm256_blendv_epi8(if_false, if_true, m);
    }
    static Words increment_where(Mask m, Words a) { return _mm256_sub_epi64(a, m); }
    static Words set_sign_where(Mask m, Words a) {
        return _mm256_or_si256(a, _mm256_and_si256(m, _mm256_set1_epi64x(INT64_MIN)));
    }
    static int lane_bits(Mask m) { return _mm256_movemask_pd(_mm256_castsi256_pd(m)); }
    static Words pair_digits(Words d) { return _mm256_maddubs_epi16(d, _mm256_set1_epi16(0x010A)); }
    static Words quad_digits(Words d) {
        return _mm256_madd_epi16(d, _mm256_set1_epi32(0x00010064));
    }
    static Words multiply_low_halves(Words a, Words b) { return _mm256_mul_epu32(a, b); }
    static Doubles as_doubles(Words a) { return _mm256_castsi256_pd(a); }
    static Words as_words(Doubles a) { return _mm256_castpd_si256(a); }
    static Doubles add_doubles(Doubles a, Doubles b) { return _mm256_add_pd(a, b); }
    static Doubles sub_doubles(Doubles a, Doubles b) { return _mm256_sub_pd(a, b); }
    static Doubles mul_doubles(Doubles a, Doubles b) { return _mm256_mul_pd(a, b); }
    static Doubles inverse_power_of_ten(Words k) {
        return _mm256_i64gather_pd(inverse_powers_of_ten, k, 8);
    }
    static Floats to_floats(Doubles a) { return _mm256_cvtpd_ps(a); }
    static Int32s to_int32s(Doubles a) { return _mm256_cvtpd_epi32(a); }
    static Int32s negate_where(Mask m, Int32s a) {
        const __m128i lanes = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(m, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
        return _mm_sub_epi32(_mm_xor_si128(a, lanes), lanes);
    }
    static Floats blend_integer_lanes(int integer_lanes, Floats values, Int32s integers) {
        const __m128i lane_bits = _mm_setr_epi32(1, 2, 4, 8);
        const __m128i is_integer =
            _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(integer_lanes), lane_bits), lane_bits);
        return _mm_blendv_ps(values, _mm_castsi128_ps(integers), _mm_castsi128_ps(is_integer));
    }

    static std::uint64_t number_bytes(const char* p) {
        const __m256i space = _mm256_set1_epi8(32);
        const auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_cmpgt_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), space)));
        const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), space)));
        return low | (std::uint64_t{high} << 32);
    }

    static bool any_above(Words a, std::int64_t v) {
        return !_mm256_testz_si256(_mm256_cmpgt_epi64(a, _mm256_set1_epi64x(v)),
                                   _mm256_set1_epi64x(-1));
    }

    // The first eight bytes of each number and its length, four at a time,
    // taken off the masks of number starts and ends; lanes beyond `count`
    // repeat the first of their group.
    template <int count>
    class Gather {
       public:
        Gather(const char* p, std::uint64_t starts, std::uint64_t ends)
            : p_(p), starts_(starts), ends_(ends) {}

        void group(int g, Words& head, Words& lengths) {
            std::int64_t bytes[4];
            std::int64_t length[4];
            const int in_group = count - 4 * g < 4 ? count - 4 * g : 4;
            int* const start = start_ + 4 * g;
            for (int i = 0; i < 4; ++i) {
                if (i < in_group) {
                    start[i] = platform::lowest_set_bit(starts_);
                    last_end_ = platform::lowest_set_bit(ends_);
                    starts_ &= starts_ - 1;
                    ends_ &= ends_ - 1;
                    bytes[i] = static_cast<std::int64_t>(load_eight(p_ + start[i]));
                    length[i] = last_end_ - start[i];
                } else {
                    start[i] = start[0];
                    bytes[i] = bytes[0];
                    length[i] = length[0];
                }
            }
            // Built in registers: a vector load of just-stored words would
            // wait for the stores.
            head = _mm256_set_epi64x(bytes[3], bytes[2], bytes[1], bytes[0]);
            lengths = _mm256_set_epi64x(length[3], length[2], length[1], length[0]);
        }

        // The eight bytes from the third byte on of the numbers of group `g`.
        Words tail(int g) const { return bytes_from(g, 2); }

        // The eight bytes from the ninth byte on of the numbers of group `g`.
        Words rest(int g) const { return bytes_from(g, 8); }

        int last_end() const { return last_end_; }

       private:
        // The eight bytes from byte `offset` on of the numbers of group `g`.
        Words bytes_from(int g, int offset) const {
            const int* const start = start_ + 4 * g;
            return _mm256_set_epi64x(static_cast<std::int64_t>(load_eight(p_ + start[3] + offset)),
                                     static_cast<std::int64_t>(load_eight(p_ + start[2] + offset)),
                                     static_cast<std::int64_t>(load_eight(p_ + start[1] + offset)),
                                     static_cast<std::int64_t>(load_eight(p_ + start[0] + offset)));
        }

        const char* p_;
        std::uint64_t starts_;
        std::uint64_t ends_;
        int start_[8];
        int last_end_ = 0;
    };

    template <int count, bool narrow>
    static void store(std::uint8_t* record, const Floats* groups, const PackedElements&) {
        static_assert(!narrow, "the AVX2 kernel stores four-byte elements only");
        float* const out = reinterpret_cast<float*>(record);
        if constexpr (count == 4) {
            _mm_storeu_ps(out, groups[0]);
        } else if constexpr (count == 8) {
            _mm256_storeu_ps(out, _mm256_set_m128(groups[1], groups[0]));
        } else if constexpr (count < 4) {
            const __m128i lanes = _mm_setr_epi32(0, 1, 2, 3);
            _mm_maskstore_ps(out, _mm_cmpgt_epi32(_mm_set1_epi32(count), lanes), groups[0]);
        } else {
            const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
            _mm256_maskstore_ps(out, _mm256_cmpgt_epi32(_mm256_set1_epi32(count), lanes),
                                _mm256_set_m128(groups[1], groups[0]));
        }
    }
};

#include "pcd/packed_numbers_generic.hpp"

}  // namespace

const char* decode_packed_numbers(const char* p, const PackedElements& run,
                                  std::uint8_t* elements) {
    return packed::decode_packed_numbers<Lanes>(p, run, elements);
}

}  // namespace pcd::avx2

PCD_TARGET_REGION_END

namespace pcd::avx2 {

KernelCode code() { return {decode_packed_numbers, false, PCD_KERNEL_TARGET}; }

}  // namespace pcd::avx2
