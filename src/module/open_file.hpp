// A file opened through the host's built-in open(), so path types and error
// texts are the interpreter's own, and then read natively from its descriptor.
#pragma once

#include <optional>

#include "container/byte_source.hpp"
#include "core/ref.hpp"

namespace lumira::module {

class OpenFile {
public:
    explicit OpenFile(py::Borrowed path);
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    ByteSource& source() noexcept { return *source_; }

    // Closes the file; errors of the close propagate.
    void close();

private:
    py::Ref file_;
    std::optional<DescriptorSource> source_;
};

}  // namespace lumira::module
