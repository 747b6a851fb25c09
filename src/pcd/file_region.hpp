// A read-only view of a stretch of a file, mapped from the system's page
// cache instead of copied out of it. POSIX systems only; elsewhere, and where
// the mapping fails, there is no view and the caller reads the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pcd {

class FileRegion {
   public:
    // The `length` bytes at `offset` of `filename`, or null when they cannot
    // be mapped, including when the file is no longer `file_size` bytes long
    // (it changed since the caller measured it).
    static std::unique_ptr<FileRegion> map(const std::string& filename, std::uint64_t file_size,
                                           std::uint64_t offset, std::size_t length);

    FileRegion(const FileRegion&) = delete;
    FileRegion& operator=(const FileRegion&) = delete;
    ~FileRegion();

    const std::uint8_t* data() const { return data_; }

   private:
    FileRegion(void* mapping, std::size_t mapped, const std::uint8_t* data)
        : mapping_(mapping), mapped_(mapped), data_(data) {}

    void* mapping_;
    std::size_t mapped_;
    const std::uint8_t* data_;
};

}  // namespace pcd
