// Texts of a file as Python strings.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "core/ref.hpp"
#include "extract/text_encoding.hpp"

namespace lumira::py {

// The bytes as text: code page 1252 (its undefined bytes as Latin-1), or
// UTF-8 where the file says so; UTF-8 that does not decode is read as code
// page 1252, so no file's text fails to read.
Ref text(std::span<const std::uint8_t> data, TextEncoding encoding = TextEncoding::Cp1252);

}  // namespace lumira::py
