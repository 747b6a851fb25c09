// The scalar kernel: no run decoder of its own, the decode loop values every
// number one at a time. Builds and runs everywhere.

#include "pcd/kernels/registry.hpp"

namespace pcd::scalar {

KernelCode code() { return {nullptr, false, PCD_KERNEL_TARGET}; }

}  // namespace pcd::scalar
