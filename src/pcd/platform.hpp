#pragma once

// Everything compiler- or processor-specific that the reader uses: bit scans,
// population counts, byte order, the target regions of vector code, CPU
// feature detection, the arithmetic the floating-point shortcuts rely on,
// local warning control, and the encoding of file names. Three branches: GCC
// and Clang (builtins), MSVC and clang-cl (intrinsics), and a generic one in
// plain C++ for any other compiler. Define
// PCD_PLATFORM_GENERIC to take the generic branch on any compiler (the unit
// tests build it so). No other file tests a compiler or an architecture.

#include <cfloat>
#include <cstdint>
#include <cstring>

// clang-cl defines both _MSC_VER and __clang__ and takes the MSVC branch: it
// targets Microsoft's C runtime, without the compiler-rt that GCC-style CPU
// detection (__builtin_cpu_supports) links against.
#if defined(PCD_PLATFORM_GENERIC)
#define PCD_PLATFORM_GNU 0
#define PCD_PLATFORM_MSVC 0
#elif defined(_MSC_VER)
#define PCD_PLATFORM_GNU 0
#define PCD_PLATFORM_MSVC 1
#include <intrin.h>
#include <stdlib.h>  // _byteswap_uint64
#elif defined(__GNUC__) || defined(__clang__)
#define PCD_PLATFORM_GNU 1
#define PCD_PLATFORM_MSVC 0
#else
#define PCD_PLATFORM_GNU 0
#define PCD_PLATFORM_MSVC 0
#endif

// x86-64 with a compiler whose AVX2 and AVX-512 intrinsics we use: the vector
// kernels may be built.
#if (PCD_PLATFORM_GNU && defined(__x86_64__)) || (PCD_PLATFORM_MSVC && defined(_M_X64))
#define PCD_X86_64_INTRINSICS 1
#else
#define PCD_X86_64_INTRINSICS 0
#endif

// Functions kept out of line, so that the hot code around a call keeps its
// values in registers.
#if PCD_PLATFORM_GNU
#define PCD_NOINLINE __attribute__((noinline))
#elif PCD_PLATFORM_MSVC
#define PCD_NOINLINE __declspec(noinline)
#else
#define PCD_NOINLINE
#endif

// Regions of code compiled for an instruction set the build does not assume:
// every function defined between BEGIN and END may use its intrinsics. Only
// the vector kernels' own code belongs inside; the headers they share with
// other code are included before BEGIN, so that no inline function of theirs
// is ever compiled for the extended instruction set. MSVC needs no marking;
// clang, clang-cl included, checks each intrinsic against its function's target.
#if defined(__clang__)
#define PCD_TARGET_REGION_AVX2 \
    _Pragma(                   \
        "clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,popcnt\"))), \
apply_to = function)")
#define PCD_TARGET_REGION_AVX512 \
    _Pragma(                     \
        "clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,popcnt,avx512f,\
avx512bw,avx512vl,avx512vbmi,avx512vbmi2\"))), apply_to = function)")
#define PCD_TARGET_REGION_END _Pragma("clang attribute pop")
#elif PCD_PLATFORM_GNU
#define PCD_TARGET_REGION_AVX2 \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2,popcnt\")")
#define PCD_TARGET_REGION_AVX512         \
    _Pragma("GCC push_options") _Pragma( \
        "GCC target(\"avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2\")")
#define PCD_TARGET_REGION_END _Pragma("GCC pop_options")
#else
#define PCD_TARGET_REGION_AVX2
#define PCD_TARGET_REGION_AVX512
#define PCD_TARGET_REGION_END
#endif

// Silences GCC's -Wmaybe-uninitialized over a few lines: GCC 12's AVX-512
// headers start some intrinsics from deliberately undefined registers.
#if PCD_PLATFORM_GNU && !defined(__clang__)
#define PCD_ALLOW_UNDEFINED_REGISTERS_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define PCD_ALLOW_UNDEFINED_REGISTERS_END _Pragma("GCC diagnostic pop")
#else
#define PCD_ALLOW_UNDEFINED_REGISTERS_BEGIN
#define PCD_ALLOW_UNDEFINED_REGISTERS_END
#endif

namespace pcd::platform {

// Whether `double` arithmetic is plain binary64, each operation rounded once.
// Where the compiler evaluates in a wider format (the x87 unit of 32-bit x86:
// FLT_EVAL_METHOD 2) a product or quotient is rounded twice, and the decimal
// shortcuts that rely on one correct rounding must leave the number to
// fast_float, which knows how to be exact there.
constexpr bool plain_binary64 = FLT_EVAL_METHOD == 0;

// Whether file names are UTF-16 and opened through the wide-character API
// (Windows, where the narrow API reads names in the ANSI code page).
#if defined(_WIN32)
constexpr bool utf16_file_names = true;
#else
constexpr bool utf16_file_names = false;
#endif

// Index of the lowest set bit; `bits` must not be 0.
inline int lowest_set_bit(std::uint64_t bits) {
#if PCD_PLATFORM_GNU
    return __builtin_ctzll(bits);
#elif PCD_PLATFORM_MSVC && defined(_M_X64)
    unsigned long index;
    _BitScanForward64(&index, bits);
    return static_cast<int>(index);
#elif PCD_PLATFORM_MSVC
    unsigned long index;
    if (_BitScanForward(&index, static_cast<unsigned long>(bits))) return static_cast<int>(index);
    _BitScanForward(&index, static_cast<unsigned long>(bits >> 32));
    return static_cast<int>(index) + 32;
#else
    int index = 0;
    for (int shift = 32; shift != 0; shift >>= 1) {
        const std::uint64_t low_mask = (std::uint64_t{1} << shift) - 1;
        if ((bits & low_mask) == 0) {
            bits >>= shift;
            index += shift;
        }
    }
    return index;
#endif
}

// Number of set bits.
inline int set_bit_count(std::uint64_t bits) {
#if PCD_PLATFORM_GNU
    return __builtin_popcountll(bits);
#elif PCD_PLATFORM_MSVC && defined(_M_X64)
    return static_cast<int>(__popcnt64(bits));
#else
    bits = bits - ((bits >> 1) & 0x5555555555555555u);
    bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((bits * 0x0101010101010101u) >> 56);
#endif
}

// The bytes of an integer in reverse order.
inline std::uint64_t byte_swap(std::uint64_t word) {
#if PCD_PLATFORM_GNU
    return __builtin_bswap64(word);
#elif PCD_PLATFORM_MSVC
    return _byteswap_uint64(word);
#else
    word = ((word & 0x00FF00FF00FF00FFu) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFu);
    word = ((word & 0x0000FFFF0000FFFFu) << 16) | ((word >> 16) & 0x0000FFFF0000FFFFu);
    return (word << 32) | (word >> 32);
#endif
}

// Eight bytes in memory as an integer whose lowest byte is the first.
inline std::uint64_t load_little_endian(const void* bytes) {
#if PCD_PLATFORM_GNU || PCD_PLATFORM_MSVC
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
#if PCD_PLATFORM_GNU && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = byte_swap(word);
#endif
    return word;  // every MSVC target is little-endian
#else
    // Byte order unknown: assembled by value, which compilers turn into one load.
    const auto* byte = static_cast<const unsigned char*>(bytes);
    std::uint64_t word = 0;
    for (int i = 0; i < 8; ++i) word |= std::uint64_t{byte[i]} << (8 * i);
    return word;
#endif
}

// Processor features the vector kernels need, as the processor and the
// operating system report them (the latter must save the wider registers).
struct CpuFeatures {
    bool avx2 = false;    // AVX2 and BMI2
    bool avx512 = false;  // AVX-512 F, BW, VL, VBMI and VBMI2, besides the above
};

inline CpuFeatures cpu_features() {
    CpuFeatures features;
#if PCD_X86_64_INTRINSICS && PCD_PLATFORM_GNU
    __builtin_cpu_init();
    features.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    features.avx512 = features.avx2 && __builtin_cpu_supports("avx512f") &&
                      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
#elif PCD_X86_64_INTRINSICS && PCD_PLATFORM_MSVC
    int regs[4];
    __cpuid(regs, 0);
    if (regs[0] < 7) return features;
    __cpuid(regs, 1);
    const bool os_saves_ymm = (regs[2] & (1 << 27)) != 0 && (_xgetbv(0) & 0x06) == 0x06;
    if (!os_saves_ymm) return features;
    const bool os_saves_zmm = (_xgetbv(0) & 0xE6) == 0xE6;
    __cpuidex(regs, 7, 0);
    const auto bit = [&](int reg, int index) { return (regs[reg] & (1 << index)) != 0; };
    features.avx2 = bit(1, 5) && bit(1, 8);
    features.avx512 = features.avx2 && os_saves_zmm && bit(1, 16) && bit(1, 30) && bit(1, 31) &&
                      bit(2, 1) && bit(2, 6);
#endif
    return features;
}

}  // namespace pcd::platform
