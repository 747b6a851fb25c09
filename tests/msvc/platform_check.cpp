// Compiled, not run, by clang-cl in MSVC mode (scripts/windows.sh msvc-check):
// the platform layer takes its MSVC branch under clang-cl, and every function
// of that branch compiles with the declarations MSVC's headers give. The
// build defines KELVARIN_EXPECT_X64 to 1 for x64 targets and 0 for x86.

#include "pcd/platform.hpp"

static_assert(PCD_PLATFORM_MSVC == 1 && PCD_PLATFORM_GNU == 0, "clang-cl takes the MSVC branch");
static_assert(PCD_X86_64_INTRINSICS == KELVARIN_EXPECT_X64, "vector kernels on x64 only");
static_assert(pcd::platform::utf16_file_names, "Windows opens names as UTF-16");

int use_every_function(std::uint64_t bits) {
    return pcd::platform::lowest_set_bit(bits) + pcd::platform::set_bit_count(bits) +
           static_cast<int>(pcd::platform::byte_swap(bits) >> 63) +
           static_cast<int>(pcd::platform::load_little_endian(&bits) >> 63) +
           pcd::platform::runs_code_for("avx2,bmi,bmi2,popcnt,avx512f");
}
