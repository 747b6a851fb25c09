// Kernel selection: which kernels the build contains (the CMake option
// KELVARIN_KERNEL defines PCD_KERNEL_SCALAR, PCD_KERNEL_AVX2 and
// PCD_KERNEL_AVX512 for those it compiles) and which of them the processor
// runs (platform.hpp's feature detection).

#include "pcd/ascii_kernel.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "pcd/platform.hpp"

namespace pcd {

#if defined(PCD_KERNEL_AVX2)
namespace avx2 {
const char* decode_packed_numbers(const char* p, const PackedElements& run, std::uint8_t* elements);
}
#endif
#if defined(PCD_KERNEL_AVX512)
namespace avx512 {
const char* decode_packed_numbers(const char* p, const PackedElements& run, std::uint8_t* elements);
}
#endif

namespace {

bool runs_here(Kernel kernel, const platform::CpuFeatures& cpu) {
    switch (kernel) {
        case Kernel::scalar: return true;
        case Kernel::avx2: return cpu.avx2;
        case Kernel::avx512: return cpu.avx512;
    }
    return false;
}

bool compiled(Kernel kernel) {
    const std::vector<Kernel> kernels = compiled_kernels();
    return std::find(kernels.begin(), kernels.end(), kernel) != kernels.end();
}

}  // namespace

const char* kernel_name(Kernel kernel) {
    switch (kernel) {
        case Kernel::scalar: return "scalar";
        case Kernel::avx2: return "avx2";
        case Kernel::avx512: return "avx512";
    }
    return "unknown";
}

std::vector<Kernel> compiled_kernels() {
    std::vector<Kernel> kernels;
#if defined(PCD_KERNEL_SCALAR)
    kernels.push_back(Kernel::scalar);
#endif
#if defined(PCD_KERNEL_AVX2)
    kernels.push_back(Kernel::avx2);
#endif
#if defined(PCD_KERNEL_AVX512)
    kernels.push_back(Kernel::avx512);
#endif
    return kernels;
}

std::vector<Kernel> runnable_kernels() {
    const platform::CpuFeatures cpu = platform::cpu_features();
    std::vector<Kernel> kernels;
    for (const Kernel kernel : compiled_kernels())
        if (runs_here(kernel, cpu)) kernels.push_back(kernel);
    return kernels;
}

Kernel default_kernel() {
    const std::vector<Kernel> runnable = runnable_kernels();
    // Listed from the simplest to the widest.
    return runnable.empty() ? compiled_kernels().back() : runnable.back();
}

KernelCode kernel_code(Kernel kernel) {
    if (!compiled(kernel))
        throw std::invalid_argument(std::string("this build has no ") + kernel_name(kernel) +
                                    " ASCII kernel");
    if (!runs_here(kernel, platform::cpu_features()))
        throw std::runtime_error(std::string("this processor cannot run the ") +
                                 kernel_name(kernel) + " ASCII kernel this build was made for");
    switch (kernel) {
        case Kernel::scalar: return {};
#if defined(PCD_KERNEL_AVX2)
        case Kernel::avx2: return {avx2::decode_packed_numbers, false};
#endif
#if defined(PCD_KERNEL_AVX512)
        case Kernel::avx512: return {avx512::decode_packed_numbers, true};
#endif
        default: return {};
    }
}

}  // namespace pcd
