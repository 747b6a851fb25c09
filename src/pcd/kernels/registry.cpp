// The kernel registry: the rows of kernels.def joined with the code of the
// kernels this build contains (the generated built_kernels.hpp lists them),
// and which of them the processor runs (platform.hpp's feature detection).

#include "pcd/kernels/registry.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "pcd/kernels/built_kernels.hpp"
#include "pcd/platform.hpp"

namespace pcd {

// Each kernel's file defines its code() in a namespace of the kernel's name.
#define PCD_DECLARE_KERNEL_CODE(name) \
    namespace name {                  \
    KernelCode code();                \
    }
PCD_BUILT_KERNELS(PCD_DECLARE_KERNEL_CODE)
#undef PCD_DECLARE_KERNEL_CODE

namespace {

struct KernelRow {
    const char* name;
    const char* features;
};

constexpr KernelRow rows[] = {
#define PCD_KERNEL(name, features) {#name, features},
#include "pcd/kernels/kernels.def"
#undef PCD_KERNEL
};

struct BuiltKernel {
    Kernel kernel;
    KernelCode (*code)();
};

constexpr BuiltKernel built[] = {
#define PCD_BUILT_KERNEL(name) {Kernel::name, name::code},
    PCD_BUILT_KERNELS(PCD_BUILT_KERNEL)
#undef PCD_BUILT_KERNEL
};

const KernelRow& row(Kernel kernel) { return rows[static_cast<std::size_t>(kernel)]; }

bool runs_here(Kernel kernel) { return platform::runs_code_for(row(kernel).features); }

}  // namespace

const char* kernel_name(Kernel kernel) { return row(kernel).name; }

const char* kernel_features(Kernel kernel) { return row(kernel).features; }

std::vector<Kernel> known_kernels() {
    std::vector<Kernel> kernels;
    for (std::size_t i = 0; i < std::size(rows); ++i) kernels.push_back(static_cast<Kernel>(i));
    return kernels;
}

std::vector<Kernel> compiled_kernels() {
    std::vector<Kernel> kernels;
    for (const BuiltKernel& entry : built) kernels.push_back(entry.kernel);
    return kernels;
}

std::vector<Kernel> runnable_kernels() {
    std::vector<Kernel> kernels;
    for (const BuiltKernel& entry : built)
        if (runs_here(entry.kernel)) kernels.push_back(entry.kernel);
    return kernels;
}

Kernel default_kernel() {
    const std::vector<Kernel> runnable = runnable_kernels();
    // Listed from the simplest to the widest.
    return runnable.empty() ? compiled_kernels().back() : runnable.back();
}

KernelCode compiled_kernel_code(Kernel kernel) {
    for (const BuiltKernel& entry : built)
        if (entry.kernel == kernel) return entry.code();
    throw std::invalid_argument(std::string("this build has no ") + kernel_name(kernel) +
                                " ASCII kernel");
}

KernelCode kernel_code(Kernel kernel) {
    const KernelCode code = compiled_kernel_code(kernel);
    if (!runs_here(kernel))
        throw std::runtime_error(std::string("this processor cannot run the ") +
                                 kernel_name(kernel) + " ASCII kernel this build was made for");
    return code;
}

}  // namespace pcd
