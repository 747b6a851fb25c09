// The kernel registry: each kernel's code compiled for exactly the features
// of its row in kernels.def, every such feature one that detection checks,
// kernels outside the build refused, and the build running exactly the
// kernels the operating system says the processor has.

#include <doctest/doctest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/kernels/registry.hpp"
#include "pcd/platform.hpp"

namespace {

std::string names(const std::vector<pcd::Kernel>& kernels) {
    std::string text;
    for (const pcd::Kernel kernel : kernels)
        text += (text.empty() ? "" : " ") + std::string(pcd::kernel_name(kernel));
    return text;
}

std::vector<std::string> split_features(const std::string& features) {
    std::vector<std::string> names;
    for (std::size_t start = 0; start < features.size();) {
        const std::size_t comma = std::min(features.find(',', start), features.size());
        names.push_back(features.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

}  // namespace

// The build hands each kernel's file the features of its row: a kernel
// compiled for more than detection checks would die on an illegal
// instruction where a processor or a virtual machine lacks the difference.
TEST_CASE("each kernel is compiled for its row's features, and detection knows each one") {
    for (const pcd::Kernel kernel : pcd::compiled_kernels()) {
        CAPTURE(pcd::kernel_name(kernel));
        CHECK(std::string(pcd::compiled_kernel_code(kernel).compiled_for) ==
              pcd::kernel_features(kernel));
    }
    for (const pcd::Kernel kernel : pcd::known_kernels()) {
        CAPTURE(pcd::kernel_name(kernel));
        for (const std::string& feature : split_features(pcd::kernel_features(kernel))) {
            CAPTURE(feature);
            CHECK(pcd::platform::find_x86_feature(feature.data(), feature.size()) != nullptr);
        }
    }
}

TEST_CASE("code for no features runs anywhere, for an unknown one nowhere") {
    CHECK(pcd::platform::runs_code_for(""));
    CHECK_FALSE(pcd::platform::runs_code_for("no-such-feature"));
    CHECK_FALSE(pcd::platform::runs_code_for("popcnt,no-such-feature"));
}

TEST_CASE("a kernel the build does not contain is refused") {
    const std::vector<pcd::Kernel> compiled = pcd::compiled_kernels();
    REQUIRE(!compiled.empty());
    for (const pcd::Kernel kernel : pcd::known_kernels()) {
        const bool contained =
            std::find(compiled.begin(), compiled.end(), kernel) != compiled.end();
        if (!contained) CHECK_THROWS_AS(pcd::kernel_code(kernel), std::invalid_argument);
    }
}

// KELVARIN_EXPECT_KERNELS lists the kernels of this build that the processor
// has, as the test session reads them from the operating system, simplest
// first; the build must run exactly those and pick the last.
TEST_CASE("the build runs every kernel the processor has and picks the best") {
    const char* const expected = std::getenv("KELVARIN_EXPECT_KERNELS");
    if (expected == nullptr) {
        MESSAGE("KELVARIN_EXPECT_KERNELS is not set: kernels not compared");
        return;
    }
    MESSAGE("runnable kernels: " << names(pcd::runnable_kernels()));
    const std::string wanted(expected);
    CHECK(names(pcd::runnable_kernels()) == wanted);
    CHECK(wanted.substr(wanted.rfind(' ') + 1) ==
          std::string(pcd::kernel_name(pcd::default_kernel())));
}
