// Files that are not paths. The package hands the native readers either the
// contents themselves (any object with the buffer protocol: bytes, bytearray,
// memoryview, mmap) or a reader of byte ranges: an object with an integer
// `size` and a method `readinto_at(offset, view, direct)` that fills the
// writable memoryview with the bytes from `offset` on and returns how many it
// wrote; `direct` is true for bytes read once (records), false for the
// windows of headers and parameters that later reads look up again.
// Readers stand for file objects, archive members and remote files; only the
// ranges a read needs are asked for.
#pragma once

#include <Python.h>

#include <memory>

#include "container/byte_source.hpp"
#include "core/ref.hpp"

namespace lumira::companion {

// Whether the native readers take `source` as contents or a reader rather
// than as a path.
bool isOtherSource(py::Borrowed source);

// The byte source over contents or a reader; nullptr for a path. A reader
// whose call fails reads as a file that ends there, and the exception is
// kept as the reader's `failure` attribute (the first one only), for the
// package to raise in place of the short read it caused.
std::unique_ptr<ByteSource> otherSource(py::Borrowed source);

}  // namespace lumira::companion
