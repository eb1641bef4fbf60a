// Embedded images: the bitmap-file head, the JPEG's marker segments up to its
// frame header, and its end.
//
// Input: the image cell itself.
#include "fuzz_input.hpp"
#include "parts/image_blob.hpp"

using namespace lumira;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::handled([&] {
        const parts::ImageBlob image = parts::readImageBlob(std::span<const std::uint8_t>(data, size));
        fuzz::require(image.jpegOffset == parts::bitmapHeadSize, "the JPEG not right after the head");
        fuzz::require(image.jpegLength >= 4 && image.jpegOffset + image.jpegLength <= size, "JPEG past the cell");
        const std::uint8_t* jpeg = data + image.jpegOffset;
        fuzz::require(jpeg[0] == 0xFF && jpeg[1] == 0xD8, "JPEG without its start marker");
        fuzz::require(jpeg[image.jpegLength - 2] == 0xFF && jpeg[image.jpegLength - 1] == 0xD9,
                      "JPEG without its end marker");
        fuzz::require(image.width > 0 && image.height > 0, "a frame of no pixels");
    });
    return 0;
}
