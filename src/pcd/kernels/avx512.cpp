// The AVX-512 kernel: the run decoder of packed_numbers_generic.hpp over
// eight 64-bit lanes, with mask registers for lane masks. The numbers' places
// come from compressing the byte positions of their starts and ends, and their
// first eight bytes from one byte permutation of the text, without a scalar
// step per number; integers of one or two bytes are laid out by a byte
// permutation of the lanes. Built for x86-64 only; run only where the
// processor has every feature of its row in kernels.def (the registry sees
// to it).

#include <immintrin.h>

#include <cstdint>

#include "pcd/decimal_rounding.hpp"
#include "pcd/kernels/registry.hpp"
#include "pcd/packed_numbers.hpp"
#include "pcd/platform.hpp"

// PCD_KERNEL_TARGET: this kernel's features in kernels.def, from the build.
PCD_TARGET_REGION_BEGIN(PCD_KERNEL_TARGET)
PCD_ALLOW_UNDEFINED_REGISTERS_BEGIN

namespace pcd::avx512 {
namespace {

struct Lanes {
    static constexpr int lanes = 8;
    static constexpr bool narrow_stores = true;
    using Words = __m512i;
    using Doubles = __m512d;
    using Mask = __mmask8;
    using Floats = __m256;
    using Int32s = __m256i;

    static Words words(std::int64_t v) { return _mm512_set1_epi64(v); }
    static Words bytes(int v) { return _mm512_set1_epi8(static_cast<char>(v)); }
    static Words zero() { return _mm512_setzero_si512(); }
    static Words bit_and(Words a, Words b) { return _mm512_and_si512(a, b); }
    static Words bit_or(Words a, Words b) { return _mm512_or_si512(a, b); }
    static Words bit_xor(Words a, Words b) { return _mm512_xor_si512(a, b); }
    static Words and_not(Words a, Words b) { return _mm512_andnot_si512(a, b); }
    static Words add_bytes(Words a, Words b) { return _mm512_add_epi8(a, b); }
    static Words add(Words a, Words b) { return _mm512_add_epi64(a, b); }
    static Words sub(Words a, Words b) { return _mm512_sub_epi64(a, b); }
    template <int n>
    static Words shift_right(Words a) {
        return _mm512_srli_epi64(a, n);
    }
    template <int n>
    static Words shift_left(Words a) {
        return _mm512_slli_epi64(a, n);
    }
    static Words shift_right_by(Words a, Words counts) { return _mm512_srlv_epi64(a, counts); }
    static Words byte_sums(Words a) { return _mm512_sad_epu8(a, _mm512_setzero_si512()); }
    static Mask equal(Words a, Words b) { return _mm512_cmpeq_epi64_mask(a, b); }
    static Mask not_equal(Words a, Words b) { return _mm512_cmpneq_epi64_mask(a, b); }
    static Mask below(Words a, Words b) { return _mm512_cmplt_epu64_mask(a, b); }
    static Words select(Mask m, Words if_false, Words if_true) {
        return _mm512_mask_blend_epi64(m, if_false, if_true);
    }
    static Words increment_where(Mask m, Words a) {
        return _mm512_mask_add_epi64(a, m, a, _mm512_set1_epi64(1));
    }
    static Words set_sign_where(Mask m, Words a) {
        return _mm512_mask_or_epi64(a, m, a, _mm512_set1_epi64(INT64_MIN));
    }
    static int lane_bits(Mask m) { return m; }
    static Words pair_digits(Words d) { return _mm512_maddubs_epi16(d, _mm512_set1_epi16(0x010A)); }
    static Words quad_digits(Words d) {
        return _mm512_madd_epi16(d, _mm512_set1_epi32(0x00010064));
    }
    static Words multiply_low_halves(Words a, Words b) { return _mm512_mul_epu32(a, b); }
    static Doubles as_doubles(Words a) { return _mm512_castsi512_pd(a); }
    static Words as_words(Doubles a) { return _mm512_castpd_si512(a); }
    static Doubles add_doubles(Doubles a, Doubles b) { return _mm512_add_pd(a, b); }
    static Doubles sub_doubles(Doubles a, Doubles b) { return _mm512_sub_pd(a, b); }
    static Doubles mul_doubles(Doubles a, Doubles b) { return _mm512_mul_pd(a, b); }
    // From a table of sixteen in two registers.
    static Doubles inverse_power_of_ten(Words k) {
        return _mm512_permutex2var_pd(_mm512_loadu_pd(inverse_powers_of_ten), k,
                                      _mm512_loadu_pd(inverse_powers_of_ten + 8));
    }
    static Floats to_floats(Doubles a) { return _mm512_cvtpd_ps(a); }
    static Int32s to_int32s(Doubles a) { return _mm512_cvtpd_epi32(a); }
    static Int32s negate_where(Mask m, Int32s a) {
        return _mm256_mask_sub_epi32(a, m, _mm256_setzero_si256(), a);
    }
    static Floats blend_integer_lanes(int integer_lanes, Floats values, Int32s integers) {
        return _mm256_mask_blend_ps(static_cast<__mmask8>(integer_lanes), values,
                                    _mm256_castsi256_ps(integers));
    }

    static bool any_above(Words a, std::int64_t v) {
        return _mm512_cmpgt_epu64_mask(a, _mm512_set1_epi64(v)) != 0;
    }

    static std::uint64_t number_bytes(const char* p) {
        return _mm512_cmpgt_epi8_mask(_mm512_loadu_si512(p), _mm512_set1_epi8(32));
    }

    // All eight numbers' first bytes in one permutation of the 64 text bytes,
    // and the bytes from their third or ninth on, where needed, in others.
    template <int count>
    class Gather {
       public:
        Gather(const char* p, std::uint64_t starts, std::uint64_t ends) : ends_(ends) {
            const __m512i block = _mm512_loadu_si512(p);
            const __m512i positions = _mm512_set_epi8(
                63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43,
                42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22,
                21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
            const __m128i start_at =
                _mm512_castsi512_si128(_mm512_maskz_compress_epi8(starts, positions));
            const __m128i end_at =
                _mm512_castsi512_si128(_mm512_maskz_compress_epi8(ends, positions));
            // Byte k of lane i reads the text at the i-th start + k. The
            // permutation wraps past byte 63; such bytes only follow a number
            // that ends inside the block, after its separator, and never
            // decide a number taken.
            const __m512i lane_of_byte = _mm512_set_epi64(
                0x0707070707070707, 0x0606060606060606, 0x0505050505050505, 0x0404040404040404,
                0x0303030303030303, 0x0202020202020202, 0x0101010101010101, 0);
            const __m512i index = _mm512_add_epi8(
                _mm512_permutexvar_epi8(lane_of_byte, _mm512_castsi128_si512(start_at)),
                _mm512_set1_epi64(0x0706050403020100));
            head_ = _mm512_permutexvar_epi8(index, block);
            index_ = index;
            block_ = block;
            // Lanes past `count` read as empty numbers: whatever follows the
            // run in the block must not pick the tier of its group.
            lengths_ = _mm512_maskz_cvtepu8_epi64(static_cast<__mmask8>((1u << count) - 1),
                                                  _mm_sub_epi8(end_at, start_at));
        }

        void group(int, Words& head, Words& lengths) const {
            head = head_;
            lengths = lengths_;
        }

        Words tail(int) const { return bytes_from(2); }
        Words rest(int) const { return bytes_from(8); }

        int last_end() const {
            return platform::lowest_set_bit(_pdep_u64(std::uint64_t{1} << (count - 1), ends_));
        }

       private:
        // The eight bytes from byte `offset` on of each number.
        Words bytes_from(char offset) const {
            return _mm512_permutexvar_epi8(_mm512_add_epi8(index_, _mm512_set1_epi8(offset)),
                                           block_);
        }

        std::uint64_t ends_;
        __m512i block_;
        __m512i index_;
        __m512i head_;
        __m512i lengths_;
    };

    template <int count, bool narrow>
    static void store(std::uint8_t* record, const Floats* groups, const PackedElements& run) {
        if constexpr (narrow) {
            // An integer's low bytes are its value modulo 2^(8 * size).
            const __m256i laid_out = _mm256_permutexvar_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(run.sources.data())),
                _mm256_castps_si256(groups[0]));
            _mm256_mask_storeu_epi8(record, _bzhi_u32(~0u, static_cast<unsigned>(run.bytes)),
                                    laid_out);
        } else {
            _mm256_mask_storeu_ps(reinterpret_cast<float*>(record),
                                  static_cast<__mmask8>((1u << count) - 1), groups[0]);
        }
    }
};

#include "pcd/packed_numbers_generic.hpp"

}  // namespace

const char* decode_packed_numbers(const char* p, const PackedElements& run,
                                  std::uint8_t* elements) {
    return packed::decode_packed_numbers<Lanes>(p, run, elements);
}

}  // namespace pcd::avx512

PCD_ALLOW_UNDEFINED_REGISTERS_END
PCD_TARGET_REGION_END

namespace pcd::avx512 {

KernelCode code() { return {decode_packed_numbers, true, PCD_KERNEL_TARGET}; }

}  // namespace pcd::avx512
