// Images embedded in image containers: each cell holds a 14-byte bitmap-file
// head ("BM", a file size, two reserved words and a pixel offset) followed
// directly by a complete JPEG stream, without the bitmap's own info header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumira::parts {

inline constexpr std::size_t bitmapHeadSize = 14;

struct ImageBlob {
    std::size_t jpegOffset = 0;  // within the blob
    std::size_t jpegLength = 0;  // up to and including its end marker
    std::uint32_t width = 0;     // pixels, from the JPEG's frame header
    std::uint32_t height = 0;
    std::uint32_t components = 0;  // 3 for colour, 1 for grey
};

// Finds the JPEG stream and its frame size without decoding it. Fails with
// ValueError "Embedded image is damaged: ..." for a blob without the head, a
// stream that does not start as a JPEG, a frame header missing or cut off, a
// frame of no pixels, or a stream without its end marker.
ImageBlob readImageBlob(std::span<const std::uint8_t> blob);

}  // namespace lumira::parts
