// libFuzzer target over the whole C++ load path: the input bytes become a PCD
// file, pcd::read_pcd parses and decodes it, and the coordinate conversion runs
// over the records it produced. Exceptions derived from std::exception are the
// reader's normal way to refuse a file; anything else (a crash, a sanitizer
// report, a broken invariant, a timeout or an out-of-memory) is a finding.
//
// The file is read once as loads read it, then once with each ASCII kernel
// the build and the processor have, through a text window of a few bytes
// (the input's last byte chooses how many), so that the window slides and
// grows at every number and the kernels give runs up at window ends: every
// one of these reads must give the same records, or fail the same way.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// A load's outcome: the records, or the refusal's message.
struct Outcome {
    std::string error;
    pcd::PcdCloud cloud;
};

Outcome load(const std::string& path, const pcd::AsciiDecoding& ascii) {
    Outcome outcome;
    try {
        outcome.cloud = pcd::read_pcd(path, ascii);
    } catch (const std::exception& e) {
        outcome.error = e.what();
        if (outcome.error.empty()) outcome.error = "(no message)";
    }
    return outcome;
}

void check_same(const Outcome& a, const Outcome& b) {
    check(a.error == b.error, "every kernel and window size fails alike");
    if (!a.error.empty()) return;
    const pcd::PointBuffer& x = *a.cloud.buffer;
    const pcd::PointBuffer& y = *b.cloud.buffer;
    check(x.size == y.size && std::memcmp(x.data.get(), y.data.get(), x.size) == 0,
          "every kernel and window size decodes the same records");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InputFile file;
    file.write(data, size);
    const Outcome usual = load(file.path, {});
    if (usual.error.empty()) {
        check_layout(usual.cloud);
        convert(usual.cloud);
    }
    // Other reads differ only in "ascii" sections. Those of huge clouds hold
    // text for a few records at most, and allocating and freeing their
    // buffers again under ASan would cost seconds.
    if (!usual.error.empty() || usual.cloud.header.data_type != "ascii" ||
        usual.cloud.buffer->size > (std::size_t{1} << 26))
        return 0;
    pcd::AsciiDecoding small_window;
    small_window.window_chunk = size == 0 ? 1 : 1 + data[size - 1] % 64;
    for (const pcd::Kernel kernel : pcd::runnable_kernels()) {
        small_window.kernel = kernel;
        check_same(usual, load(file.path, small_window));
    }
    return 0;
}
