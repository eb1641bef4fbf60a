#include "parts/image_blob.hpp"

#include <string>

#include "core/error.hpp"

namespace lumira::parts {

namespace {

[[noreturn]] void failDamaged(const std::string& why) { failValue("Embedded image is damaged: " + why); }

std::uint32_t bigEndian16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) << 8 | bytes[at + 1];
}

// Start-of-frame markers C0 to CF, but for C4 (Huffman tables), C8 (reserved) and CC (arithmetic conditioning).
bool isFrameMarker(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Markers that stand alone, without a length: TEM and the restart markers.
bool standsAlone(std::uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

}  // namespace

ImageBlob readImageBlob(std::span<const std::uint8_t> blob) {
    if (blob.size() < bitmapHeadSize || blob[0] != 'B' || blob[1] != 'M')
        failDamaged("its " + std::to_string(blob.size()) + " bytes do not start with a bitmap-file head");
    const auto jpeg = blob.subspan(bitmapHeadSize);
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        failDamaged("no JPEG stream starts after its bitmap-file head");

    ImageBlob found;
    found.jpegOffset = bitmapHeadSize;
    // Walk the marker segments up to the frame header; the entropy-coded data
    // after it is left to the decoder.
    std::size_t at = 2;
    for (;;) {
        while (at < jpeg.size() && jpeg[at] == 0xFF && at + 1 < jpeg.size() && jpeg[at + 1] == 0xFF) ++at;  // fill bytes
        if (at + 2 > jpeg.size()) failDamaged("its JPEG stream ends before its frame header");
        if (jpeg[at] != 0xFF) failDamaged("its JPEG stream holds no marker at byte " + std::to_string(at));
        const std::uint8_t marker = jpeg[at + 1];
        at += 2;
        if (standsAlone(marker)) continue;
        if (marker == 0xD9 || marker == 0xDA) failDamaged("its JPEG stream has no frame header");
        if (at + 2 > jpeg.size()) failDamaged("its JPEG stream ends inside a marker segment");
        const std::size_t length = bigEndian16(jpeg, at);
        if (length < 2 || length > jpeg.size() - at) failDamaged("a marker segment of its JPEG stream runs past its end");
        if (isFrameMarker(marker)) {
            if (length < 8) failDamaged("its JPEG frame header is cut short");
            found.height = bigEndian16(jpeg, at + 3);
            found.width = bigEndian16(jpeg, at + 5);
            found.components = jpeg[at + 7];
            break;
        }
        at += length;
    }
    if (found.width == 0 || found.height == 0)
        failDamaged("its JPEG frame is " + std::to_string(found.width) + " x " + std::to_string(found.height) + " pixels");

    // The stream ends with the last end-of-image marker (a thumbnail inside
    // it may carry an earlier one); bytes after it are padding of the cell.
    for (std::size_t end = jpeg.size(); end >= 2; --end) {
        if (jpeg[end - 2] == 0xFF && jpeg[end - 1] == 0xD9) {
            if (end - 2 < at) break;
            found.jpegLength = end;
            return found;
        }
    }
    failDamaged("its JPEG stream has no end marker: it is cut short");
}

}  // namespace lumira::parts
