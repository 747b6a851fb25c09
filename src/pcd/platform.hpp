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
// every function defined between BEGIN and END may use the intrinsics of
// `features`, a string literal in target("...") syntax ("avx2,bmi2"). Only a
// vector kernel's own code belongs inside; the headers it shares with other
// code are included before BEGIN, so that no inline function of theirs is
// ever compiled for the extended instruction set. MSVC needs no marking;
// clang, clang-cl included, checks each intrinsic against its function's target.
#define PCD_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define PCD_TARGET_REGION_BEGIN(features) \
    PCD_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define PCD_TARGET_REGION_END _Pragma("clang attribute pop")
#elif PCD_PLATFORM_GNU
#define PCD_TARGET_REGION_BEGIN(features) \
    _Pragma("GCC push_options") PCD_PRAGMA(GCC target(features))
#define PCD_TARGET_REGION_END _Pragma("GCC pop_options")
#else
#define PCD_TARGET_REGION_BEGIN(features)
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

// x86 processor features as CPUID reports them, by their target("...")
// names, with the XCR0 bits of the register state the operating system must
// save for their instructions to run: SSE and AVX state (YMM) for AVX2, the
// opmask and ZMM states besides for AVX-512.
struct X86Feature {
    const char* name;
    std::uint32_t leaf;
    int reg;  // 0 eax, 1 ebx, 2 ecx, 3 edx
    int bit;
    std::uint64_t os_state;
};
constexpr std::uint64_t ymm_state = 0x06;
constexpr std::uint64_t zmm_state = 0xE6;
constexpr X86Feature x86_features[] = {
    {"popcnt", 1, 2, 23, 0},
    {"bmi", 7, 1, 3, 0},
    {"avx2", 7, 1, 5, ymm_state},
    {"bmi2", 7, 1, 8, 0},
    {"avx512f", 7, 1, 16, zmm_state},
    {"avx512bw", 7, 1, 30, zmm_state},
    {"avx512vl", 7, 1, 31, zmm_state},
    {"avx512vbmi", 7, 2, 1, zmm_state},
    {"avx512vbmi2", 7, 2, 6, zmm_state},
};

// The entry of `x86_features` named by the `length` bytes at `name`, or null.
inline const X86Feature* find_x86_feature(const char* name, std::size_t length) {
    for (const X86Feature& feature : x86_features)
        if (std::strlen(feature.name) == length && std::memcmp(feature.name, name, length) == 0)
            return &feature;
    return nullptr;
}

struct CpuidRegisters {
    std::uint32_t reg[4];  // eax, ebx, ecx, edx
};

// CPUID leaf `leaf`, subleaf 0; all zero where the processor has no such leaf
// or the build is not for x86-64. GCC and Clang go through inline assembly:
// <cpuid.h> clashes with MinGW's <intrin.h>, which fast_float includes.
inline CpuidRegisters cpuid(std::uint32_t leaf) {
    CpuidRegisters regs{};
#if PCD_X86_64_INTRINSICS && PCD_PLATFORM_GNU
    const auto raw = [](std::uint32_t eax, CpuidRegisters& out) {
        __asm__ __volatile__("cpuid"
                             : "=a"(out.reg[0]), "=b"(out.reg[1]), "=c"(out.reg[2]),
                               "=d"(out.reg[3])
                             : "a"(eax), "c"(0u));
    };
    CpuidRegisters max_leaf{};
    raw(leaf & 0x80000000u, max_leaf);
    if (max_leaf.reg[0] < leaf) return regs;
    raw(leaf, regs);
#elif PCD_X86_64_INTRINSICS && PCD_PLATFORM_MSVC
    int max_leaf[4];
    __cpuid(max_leaf, static_cast<int>(leaf & 0x80000000u));
    if (static_cast<std::uint32_t>(max_leaf[0]) < leaf) return regs;
    int out[4];
    __cpuidex(out, static_cast<int>(leaf), 0);
    for (int i = 0; i < 4; ++i) regs.reg[i] = static_cast<std::uint32_t>(out[i]);
#else
    (void)leaf;
#endif
    return regs;
}

// The register state the operating system saves on a context switch (XCR0);
// 0 where it does not expose XCR0 (CPUID.1:ECX.OSXSAVE clear) or off x86-64.
inline std::uint64_t os_saved_state() {
    if ((cpuid(1).reg[2] & (1u << 27)) == 0) return 0;
#if PCD_X86_64_INTRINSICS && PCD_PLATFORM_GNU
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
#elif PCD_X86_64_INTRINSICS && PCD_PLATFORM_MSVC
    return _xgetbv(0);
#else
    return 0;
#endif
}

// Whether code compiled for `features` (comma-separated target("...") names,
// as kernels.def lists them) runs here: the processor reports every one and
// the operating system saves the registers they use. A name the table above
// does not know never runs; no features at all run anywhere.
inline bool runs_code_for(const char* features) {
    std::uint64_t state = 0;
    bool state_read = false;
    while (*features != '\0') {
        std::size_t length = 0;
        while (features[length] != '\0' && features[length] != ',') ++length;
        const X86Feature* feature = find_x86_feature(features, length);
        features += features[length] == ',' ? length + 1 : length;
        if (feature == nullptr) return false;
        if ((cpuid(feature->leaf).reg[feature->reg] & (std::uint32_t{1} << feature->bit)) == 0)
            return false;
        if (feature->os_state != 0) {
            if (!state_read) state = os_saved_state();
            state_read = true;
            if ((state & feature->os_state) != feature->os_state) return false;
        }
    }
    return true;
}

}  // namespace pcd::platform
