// Strict UTF-8 validation, as the host's decoder applies it.
#pragma once

#include <cstdint>
#include <span>

namespace lumira {

// True when the bytes are valid UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no cut sequences.
constexpr bool isValidUtf8(std::span<const std::uint8_t> text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint8_t lead = text[i];
        std::size_t length = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        if (text[i + 1] < low || text[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k)
            if (text[i + k] < 0x80 || text[i + k] > 0xBF) return false;
        i += length;
    }
    return true;
}

}  // namespace lumira
