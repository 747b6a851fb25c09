// Mapping of a file stretch with mmap, its pages entered up front where the
// system offers that (MAP_POPULATE), so reading them takes no page faults.
#include "pcd/file_region.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define PCD_HAS_MMAP 1
#endif

#include <limits>

namespace pcd {

#if defined(PCD_HAS_MMAP)

namespace {

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::unique_ptr<FileRegion> FileRegion::map(const std::string& filename, std::uint64_t file_size,
                                            std::uint64_t offset, std::size_t length) {
    if (length == 0 || offset + length > file_size) return nullptr;
    const Descriptor file{::open(filename.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat status;
    if (file.fd < 0 || ::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) != file_size)
        return nullptr;
    const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = offset - offset % page;
    const std::uint64_t mapped = offset - start + length;
    if (mapped > std::numeric_limits<std::size_t>::max() / 2 ||
        start > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return nullptr;
    int flags = MAP_PRIVATE;
#if defined(MAP_POPULATE)
    flags |= MAP_POPULATE;
#endif
    void* mapping = ::mmap(nullptr, static_cast<std::size_t>(mapped), PROT_READ, flags, file.fd,
                           static_cast<off_t>(start));
    if (mapping == MAP_FAILED) return nullptr;
    const auto* data = static_cast<const std::uint8_t*>(mapping) + (offset - start);
    return std::unique_ptr<FileRegion>(
        new FileRegion(mapping, static_cast<std::size_t>(mapped), data));
}

FileRegion::~FileRegion() { ::munmap(mapping_, mapped_); }

#else

std::unique_ptr<FileRegion> FileRegion::map(const std::string&, std::uint64_t, std::uint64_t,
                                            std::size_t) {
    return nullptr;
}

FileRegion::~FileRegion() = default;

#endif

}  // namespace pcd
