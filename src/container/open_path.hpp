// Opening a file by its path without the interpreter. Small files are read
// whole with one call and closed at once; larger ones stay open and are read
// as they are needed.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "container/byte_source.hpp"

namespace lumira {

// An open file descriptor, closed when the owner goes.
class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int descriptor) noexcept : descriptor_(descriptor) {}
    Descriptor(Descriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    ~Descriptor() { closeQuietly(); }

    int get() const noexcept { return descriptor_; }
    explicit operator bool() const noexcept { return descriptor_ >= 0; }

    // Closes now; returns 0, or the errno of a failed close (EINTR counts as closed).
    int close() noexcept;

private:
    void closeQuietly() noexcept;
    int descriptor_ = -1;
};

// Files up to this size are read whole: one read of a small file costs less
// than the calls that windows over it would make.
inline constexpr std::uint64_t wholeFileLimit = 256 * 1024;

struct OpenedPath {
    int errnum = 0;                       // why it could not be opened (EISDIR for a folder)
    Descriptor descriptor;                // open while `source` reads through it
    std::unique_ptr<ByteSource> source;  // declared after the descriptor, so it goes first

    bool opened() const noexcept { return source != nullptr; }
};

// Opens `path` read-only. Files of at most `wholeLimit` bytes are read
// whole and closed; for others the source reads through the open descriptor.
OpenedPath openPath(const char* path, std::uint64_t wholeLimit);

}  // namespace lumira
