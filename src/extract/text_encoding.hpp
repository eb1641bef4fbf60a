// How a file's texts are encoded. Instrument software writes code page 1252;
// a file whose sample-origin parameters give code page 65001 (CPG) says its
// texts are UTF-8.
#pragma once

#include <array>
#include <cstdint>

namespace lumira {

enum class TextEncoding { Cp1252, Utf8 };

constexpr TextEncoding encodingOfCodePage(std::int64_t codePage) noexcept {
    return codePage == 65001 ? TextEncoding::Utf8 : TextEncoding::Cp1252;
}

namespace detail {

// Code points of the bytes 0x80 to 0x9F in code page 1252. The five bytes it
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) keep their own value, as
// Latin-1 reads them; every other byte is its own code point.
inline constexpr std::array<char16_t, 32> cp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace detail

constexpr char16_t cp1252CodePoint(std::uint8_t byte) noexcept {
    return byte >= 0x80 && byte < 0xA0 ? detail::cp1252High[byte - 0x80] : char16_t(byte);
}

}  // namespace lumira
