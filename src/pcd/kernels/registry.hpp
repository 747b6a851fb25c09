#pragma once

// The kernels of the ASCII decoder and the choice between them. The scalar
// kernel decodes one number at a time and runs everywhere; the vector kernels
// (AVX2, AVX-512) decode runs of packed binary32 and 32-bit integer fields
// several numbers at a time and leave every number they refuse to the scalar
// code. kernels.def lists them all with the processor features each is
// compiled for; which a build contains is fixed when it is configured
// (KELVARIN_KERNEL): all that the target allows, choosing at run time, or
// exactly one.

#include <cstdint>
#include <vector>

#include "pcd/packed_numbers.hpp"

namespace pcd {

// Every kernel of kernels.def, in its order, whether this build has it or not.
enum class Kernel : std::uint8_t {
#define PCD_KERNEL(name, features) name,
#include "pcd/kernels/kernels.def"
#undef PCD_KERNEL
};

// Its name in kernels.def: "scalar", "avx2", ...
const char* kernel_name(Kernel kernel);

// The processor features its code is compiled for, as kernels.def lists them
// (comma-separated target("...") names); "" for one that runs anywhere.
const char* kernel_features(Kernel kernel);

// Every kernel of kernels.def, simplest first.
std::vector<Kernel> known_kernels();

// The kernels this build contains; a build configured for one kernel
// contains only that one.
std::vector<Kernel> compiled_kernels();

// The kernels of this build that this processor and operating system run.
std::vector<Kernel> runnable_kernels();

// The kernel loads use: the best the processor runs among those compiled.
// In a build of one kernel that the processor cannot run, that kernel
// anyway, which decoding then refuses with std::runtime_error.
Kernel default_kernel();

// What a kernel provides to the decode loop; `decode` is null for the scalar
// kernel.
struct KernelCode {
    PackedDecoder decode = nullptr;
    // Eight lanes: 32-bit integers take any lane of a run, and integers of
    // one or two bytes join runs too.
    bool eight_lanes = false;
    // The target("...") features its code was compiled with, which must be
    // the row's: the build hands each kernel's file its row.
    const char* compiled_for = "";
};

// The code of `kernel`. Throws std::invalid_argument for a kernel this build
// does not contain and std::runtime_error for one this processor cannot run.
KernelCode kernel_code(Kernel kernel);

// The code of a kernel this build contains, without asking whether the
// processor runs it; throws std::invalid_argument for any other.
KernelCode compiled_kernel_code(Kernel kernel);

}  // namespace pcd
