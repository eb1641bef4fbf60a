#include "core/text.hpp"

#include <algorithm>
#include <vector>

namespace lumira::py {

namespace {

bool isAscii(std::span<const std::uint8_t> data) {
    return std::all_of(data.begin(), data.end(), [](std::uint8_t byte) { return byte < 0x80; });
}

Ref cp1252(std::span<const std::uint8_t> data) {
    std::vector<char16_t> units(data.size());
    std::transform(data.begin(), data.end(), units.begin(), cp1252CodePoint);
    return Ref::fresh(PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, units.data(),
                                                static_cast<Py_ssize_t>(units.size())));
}

}  // namespace

Ref text(std::span<const std::uint8_t> data, TextEncoding encoding) {
    const auto* chars = reinterpret_cast<const char*>(data.data());
    const auto size = static_cast<Py_ssize_t>(data.size());
    if (isAscii(data)) return Ref::fresh(PyUnicode_DecodeASCII(chars, size, nullptr));
    if (encoding == TextEncoding::Utf8) {
        if (PyObject* decoded = PyUnicode_DecodeUTF8(chars, size, nullptr)) return Ref::fresh(decoded);
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw ErrorAlreadySet{};
        PyErr_Clear();
    }
    return cp1252(data);
}

}  // namespace lumira::py
