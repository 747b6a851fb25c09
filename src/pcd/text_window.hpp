#pragma once

// TextWindow: the text of an "ascii" data section, seen through a window that
// slides over it chunk by chunk.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>

namespace pcd {

// Bytes up to 0x20 and from 0x80 separate the numbers of an "ascii" section.
inline bool is_separator(char c) { return static_cast<signed char>(c) <= 32; }

// A sliding window over the text of an "ascii" data section, read from the
// stream in chunks so that a large file is never held whole. Numbers never
// contain a separator byte (up to 0x20, or 0x80 and above), so every window
// ends just after a separator: a number that starts inside the window ends
// inside it too, and the bytes after the last separator wait for the next
// chunk. A number longer than a chunk makes the window grow.
//
// `padding` zero bytes always follow the last byte read, so scanners may load
// a few words at once from any position of the text.
class TextWindow {
   public:
    static constexpr std::size_t padding = 32;

    // `available` bytes remain in `stream`; a stream that delivers fewer ends
    // the text early, as if the rest were separators. A `chunk` of 0 reads as 1.
    TextWindow(std::istream& stream, std::uint64_t available, std::size_t chunk);

    const char* begin() const { return storage_.get(); }
    // End of the complete numbers: a separator or the end of the text lies just before it.
    const char* end() const { return end_; }
    bool exhausted() const { return remaining_ == 0 && end_ == filled_; }

    // Offset of `p` (a position in the window) from the start of the text.
    std::uint64_t position(const char* p) const { return discarded_ + (p - storage_.get()); }

    // Drops the text before `p` (which must be end()) and reads on until the
    // window ends in a separator or the text is exhausted. Returns the first
    // unread position, which is the new begin(). Throws std::bad_alloc.
    const char* advance(const char* p);

   private:
    void read_more();

    std::istream& stream_;
    std::uint64_t remaining_;  // bytes of the text still in the stream
    std::size_t chunk_;
    std::size_t capacity_ = 0;  // bytes of storage before the padding
    std::unique_ptr<char[]> storage_;
    std::uint64_t discarded_ = 0;  // bytes of text dropped before storage_[0]
    const char* end_ = nullptr;
    char* filled_ = nullptr;  // end of the bytes read so far
};

}  // namespace pcd
