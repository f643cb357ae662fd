#pragma once

#include <cstddef>
#include <cstdint>

namespace morvale {

// Joins raw deflate streams compressed one after another (libdeflate has no streaming interface)
// into one stream, as a zlib stream inside a PNG must be: every stream but the last is made to go
// on, its last block no longer marked final and followed by an empty stored block, which ends it
// on a byte boundary where the next stream's first block can start.
class DeflateSplicer {
public:
    DeflateSplicer() = delete;

    // Bytes that makeContinuable may add after a stream.
    static constexpr std::size_t slack = 5;

    // Rewrites the complete raw deflate stream of `size` bytes at `stream`, which has room for
    // `slack` bytes more, to go on; returns its new size. Returns 0, leaving the bytes in some
    // undefined state, when they are no complete deflate stream.
    static std::size_t makeContinuable(std::uint8_t* stream, std::size_t size);
};

}  // namespace morvale
