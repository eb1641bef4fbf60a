// Files are opened as the host's built-in open() opens them, so path types
// and error texts are the interpreter's own, and then read natively from
// their descriptor. When the built-in open is the genuine one and the path
// is plain, the file is opened with open(2) directly, without the
// interpreter lock; whenever that fails, the host's open is asked, which
// raises its own error.
#pragma once

#include <memory>
#include <optional>

#include "container/open_path.hpp"
#include "core/ref.hpp"

namespace lumira::module {

// A path in the file system's encoding, for opening without the interpreter.
struct NativePath {
    py::Ref encoded;  // bytes
    const char* text() const noexcept;
};

// The path, when the genuine built-in open would open it as open(2) does:
// str, bytes or path-like, without NUL characters.
std::optional<NativePath> nativePath(py::Borrowed module, py::Borrowed path);

class OpenFile {
public:
    // Through the host's built-in open(path, "rb").
    static std::unique_ptr<OpenFile> throughHost(py::Borrowed path);

    // With open(2), without the interpreter lock. Empty when the host's
    // open must be asked instead (the open failed, or the path names a
    // directory, which the host refuses). Files of at most `wholeLimit`
    // bytes are read whole at once.
    static std::unique_ptr<OpenFile> natively(const NativePath& path, std::uint64_t wholeLimit = 0);

    // A file opened without the interpreter (openPath), or nothing when it
    // could not be opened.
    static std::unique_ptr<OpenFile> adopt(OpenedPath opened);

    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    ByteSource& source() noexcept { return *source_; }

    // A file opened natively closes without the interpreter lock.
    bool isNative() const noexcept { return !file_; }

    // Closes the file; errors of the close propagate. Closing twice does nothing.
    void close();

private:
    OpenFile() = default;

    py::Ref file_;          // the host's file object, when opened through it
    Descriptor descriptor_;  // when opened natively and still needed
    std::unique_ptr<ByteSource> source_;
};

}  // namespace lumira::module
