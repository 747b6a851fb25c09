// libFuzzer target over the whole C++ load path: the input bytes become a PCD
// file, pcd::read_pcd parses and decodes it, and the coordinate conversion runs
// over the records it produced. Exceptions derived from std::exception are the
// reader's normal way to refuse a file; anything else (a crash, a sanitizer
// report, a broken invariant, a timeout or an out-of-memory) is a finding.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "pcd/coordinates.hpp"
#include "pcd/pcd_reader.hpp"

namespace {

// The reader takes a file name, so the input goes into one in-memory file per
// process (memfd), reached through /proc/self/fd; a plain file in /tmp is the
// fallback where memfd is unavailable.
struct InputFile {
    int fd = -1;
    std::string path;

    InputFile() {
        fd = memfd_create("kelvarin-fuzz", 0);
        if (fd >= 0) {
            path = "/proc/self/fd/" + std::to_string(fd);
        } else {
            path = "/tmp/kelvarin-fuzz-" + std::to_string(getpid()) + ".pcd";
        }
    }

    void write(const std::uint8_t* data, std::size_t size) {
        if (fd < 0) {
            std::FILE* f = std::fopen(path.c_str(), "wb");
            if (f == nullptr) std::abort();
            if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
            std::fclose(f);
            return;
        }
        if (ftruncate(fd, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
    }
};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// What the NumPy views rely on: every field lies inside its record and the
// buffer holds exactly points × point_step bytes.
void check_layout(const pcd::PcdCloud& cloud) {
    const pcd::PcdHeader& h = cloud.header;
    check(cloud.buffer != nullptr, "buffer present");
    check(h.points >= 0 && h.point_step >= 0, "non-negative points and point_step");
    check(cloud.buffer->size ==
              static_cast<std::uint64_t>(h.points) * static_cast<std::uint64_t>(h.point_step),
          "buffer size is points * point_step");
    for (const std::size_t i : cloud.xyz) check(i < h.fields.size(), "coordinate index in range");
    for (const pcd::PcdField& f : h.fields) {
        check(f.size >= 1 && f.count >= 1 && f.offset >= 0, "positive size and count");
        check(std::int64_t{f.offset} + std::int64_t{f.size} * f.count <= h.point_step,
              "field inside its record");
    }
}

// Converts at most this many points, so a huge all-zero cloud stays cheap.
constexpr std::int32_t max_converted_points = 1 << 16;

void convert(const pcd::PcdCloud& cloud) {
    pcd::PcdHeader header = cloud.header;
    header.points = std::min(header.points, max_converted_points);
    (void)pcd::coordinates_are_packed_floats(header, cloud.xyz);
    std::unique_ptr<float[]> out(new float[static_cast<std::size_t>(header.points) * 3 + 1]());
    try {
        pcd::convert_coordinates(header, cloud.xyz, cloud.buffer->data.get(), out.get());
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InputFile file;
    file.write(data, size);
    pcd::PcdCloud cloud;
    try {
        cloud = pcd::read_pcd(file.path);
    } catch (const std::exception&) {
        return 0;
    }
    check_layout(cloud);
    convert(cloud);
    return 0;
}
