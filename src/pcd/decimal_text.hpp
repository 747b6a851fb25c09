#pragma once

#include <cstdint>
#include <cstring>

namespace pcd {

// Pieces shared by the scalar and the vectorised ASCII decoders.

// Eight text bytes as one integer whose lowest byte is the first character.
inline std::uint64_t load_eight(const char* q) {
    std::uint64_t block;
    std::memcpy(&block, q, sizeof block);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    block = __builtin_bswap64(block);
#endif
    return block;
}

// 10^-k, each rounded once, for scaling a decimal's digits down by k places.
inline constexpr double inverse_powers_of_ten[] = {1e-0,  1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,
                                                   1e-7,  1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13,
                                                   1e-14, 1e-15, 1e-16, 1e-17, 1e-18, 1e-19};

}  // namespace pcd
