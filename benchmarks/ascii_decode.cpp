// Decode-only timing of the C++ reader: loads each file given a number of
// times with pcd::read_pcd and prints the fastest load and the median, as
// MB/s of file size. Built by CMake with -DKELVARIN_BENCH_HARNESS=ON and
// driven by benchmarks/ascii_kernels.py, which interleaves several builds.
//
//   ascii_decode LOADS FILE...     prints "FILE best_MB/s median_MB/s"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <vector>

#include "pcd/pcd_reader.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LOADS FILE...\n", argv[0]);
        return 2;
    }
    const int loads = std::max(1, std::atoi(argv[1]));
    try {
        for (int f = 2; f < argc; ++f) {
            const double megabytes = static_cast<double>(std::filesystem::file_size(argv[f])) / 1e6;
            std::vector<double> seconds;
            for (int k = 0; k < loads; ++k) {
                const auto start = std::chrono::steady_clock::now();
                const pcd::PcdCloud cloud = pcd::read_pcd(argv[f]);
                seconds.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                        .count());
            }
            std::sort(seconds.begin(), seconds.end());
            std::printf("%s %.1f %.1f\n", argv[f], megabytes / seconds.front(),
                        megabytes / seconds[seconds.size() / 2]);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ascii_decode: %s\n", e.what());
        return 1;
    }
    return 0;
}
