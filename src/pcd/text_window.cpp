// TextWindow: reads an "ascii" section chunk by chunk, keeping the number
// cut by a chunk's end for the next window.

#include "pcd/text_window.hpp"

#include <algorithm>
#include <cstring>

namespace pcd {

// Reads of 0 bytes would never advance: a chunk is at least 1 byte.
TextWindow::TextWindow(std::istream& stream, std::uint64_t available, std::size_t chunk)
    : stream_(stream), remaining_(available), chunk_(chunk == 0 ? 1 : chunk) {
    // Never more storage than the text needs: small sections stay small.
    capacity_ = static_cast<std::size_t>(std::min<std::uint64_t>(available, chunk_));
    storage_.reset(new char[capacity_ + padding]);
    filled_ = storage_.get();
    end_ = filled_;
    advance(end_);
}

const char* TextWindow::advance(const char* p) {
    // Keep the unfinished number after the window's end at the front.
    char* base = storage_.get();
    const std::size_t kept = static_cast<std::size_t>(filled_ - p);
    discarded_ += static_cast<std::uint64_t>(p - base);
    std::memmove(base, p, kept);
    filled_ = base + kept;
    std::size_t scanned = kept;  // bytes known to hold no separator
    for (;;) {
        read_more();
        std::memset(filled_, 0, padding);
        base = storage_.get();  // reading on may have moved the storage
        if (remaining_ == 0) {
            end_ = filled_;
            return base;
        }
        const char* last = filled_;
        while (last != base + scanned && !is_separator(last[-1])) --last;
        if (last != base + scanned) {
            end_ = last;
            return base;
        }
        scanned = static_cast<std::size_t>(filled_ - base);
    }
}

void TextWindow::read_more() {
    if (remaining_ == 0) return;
    std::size_t used = static_cast<std::size_t>(filled_ - storage_.get());
    if (used == capacity_) {
        // One number fills the whole window: double it.
        const std::size_t grown = std::max<std::size_t>(
            capacity_ * 2,
            capacity_ + static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, chunk_)));
        std::unique_ptr<char[]> larger(new char[grown + padding]);
        std::memcpy(larger.get(), storage_.get(), used);
        storage_ = std::move(larger);
        capacity_ = grown;
        filled_ = storage_.get() + used;
    }
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, capacity_ - used));
    stream_.read(filled_, static_cast<std::streamsize>(wanted));
    const auto got = static_cast<std::size_t>(stream_.gcount());
    filled_ += got;
    remaining_ = got < wanted ? 0 : remaining_ - got;
}

}  // namespace pcd
